#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

// File lists as the clipboard carries them (a count, then one FILEDESCRIPTORW of 592 bytes per
// file or folder, each named by its path relative to what was copied, with "\" between the
// parts), and the rule that turns a remote path into names that stay inside our own folder.

struct TClipFile {
  QString path;  // relative, "\" between the parts: "Pasta\nota.txt"
  bool directory = false;
  std::uint64_t size = 0;
  bool sizeKnown = false;
  QDateTime lastWrite;  // invalid when not given
};

// Why a file list was refused, for the log.
enum class FileListError { None, Short, TooMany, Length, Name };

struct TFileListResult {
  std::vector<TClipFile> files;
  FileListError error = FileListError::None;
};

// Reads a file list from the remote side. The count, the length and every name (terminated
// inside its field, not empty) are checked; any fault refuses the whole list.
[[nodiscard]] TFileListResult ParseFileList(const QByteArray& data);

// Builds a file list; a path too long for the descriptor is the caller's to leave out.
[[nodiscard]] QByteArray BuildFileList(const std::vector<TClipFile>& files);

// The parts of a remote path made safe as local names, one per level: split at "\" (the remote
// side's separator), each part kept to one name of the local file system: "/" and control
// characters become "_", "." and ".." and empty parts become "_", and a name too long is cut to
// the file system's limit keeping its extension. "../../.bashrc" is the one name ".._.._.bashrc";
// "/etc/passwd" is "_etc_passwd".
[[nodiscard]] QStringList SafeLocalParts(const QString& remotePath);
