#pragma once

#include <QString>
#include <QStringList>

// Facts of this computer that the remote session hands over: mounted file systems, serial ports,
// a sound output. Reading them may touch the disk and devices, so callers gather them off the UI
// thread.

// The mount table in /proc/self/mounts form ("dev dir type opts 0 0" a line); empty when it
// cannot be read.
[[nodiscard]] QString MountTable();

// The entry names in /dev (character devices included).
[[nodiscard]] QStringList DeviceEntries();

// The full path of a /dev entry.
[[nodiscard]] QString DevicePath(const QString& entry);

// Whether a serial device can be opened and has a port behind it (the kernel lists ttyS0..31
// whether or not a UART is there).
[[nodiscard]] bool SerialPortPresent(const QString& path);

// Whether a folder can be shared: it exists, is a folder, and this user may list and enter it.
[[nodiscard]] bool FolderShareable(const QString& path);

// Whether a sound output can be reached: a PulseAudio (or PipeWire) server socket, or an ALSA
// playback device that opens.
[[nodiscard]] bool SoundOutputAvailable();
