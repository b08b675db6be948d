#pragma once

#include <QString>
#include <cstdint>
#include <memory>

class QSettings;

// The current user's settings store, in the shape the product uses it: open (or create) a key by
// its path and write or read a 32-bit value there. Backed by an INI file under the user's
// configuration folder ($XDG_CONFIG_HOME/zentra/registry.ini), one group per key.
class TRegistry {
 public:
  TRegistry();
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  // Selects a key such as "Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\RDPDR";
  // returns false when the store cannot be created or written.
  bool OpenKey(const QString& key, bool canCreate);
  void CloseKey();

  // Writes a DWORD; fails with "Failed to set data for '<name>'" when the store refuses it.
  void WriteInteger(const QString& name, std::int32_t value);
  // Reads a DWORD of the key, or fallback when it is missing.
  [[nodiscard]] std::uint32_t ReadCardinal(const QString& name, std::uint32_t fallback) const;

  // Where the store lives.
  [[nodiscard]] static QString StorePath();

 private:
  std::unique_ptr<QSettings> settings_;
  QString key_;
};

// The key and value the session window writes so that every printer is redirected.
inline constexpr char16_t kRdpdrKey[] =
    u"Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\RDPDR";
inline constexpr char16_t kFilterQueueTypeValue[] = u"FilterQueueType";
