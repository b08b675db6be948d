#pragma once

#include <QString>
#include <QStringList>

// Facts of this computer that the remote session hands over: the person's folders, mounted file
// systems, serial ports, a sound output. Reading them may touch the disk, so callers gather them
// off the UI thread. Nothing here opens a device: opening a serial port raises DTR, which resets
// boards that listen to it.

// The mount table in /proc/self/mounts form ("dev dir type opts 0 0" a line); empty when it
// cannot be read.
[[nodiscard]] QString MountTable();

// The full path of a /dev entry.
[[nodiscard]] QString DevicePath(const QString& entry);

// The terminals in sysClassTty (the kernel's /sys/class/tty) that have a device behind them:
// virtual consoles and pseudo terminals have none. A serial-core port whose UART type is 0 is
// left out: the kernel lists ttyS0..3 whether or not a UART is there. Only sysfs is read.
[[nodiscard]] QStringList SerialPortsInSystem(const QString& sysClassTty = QString());

// Whether this user may read and write a device, asked of the file system without opening it.
[[nodiscard]] bool DeviceReadWrite(const QString& path);

// The desktop's user folders for documents, downloads, the desktop, pictures, music and videos,
// as xdg-user-dirs names them in ~/.config/user-dirs.dirs (Qt's defaults where it names none).
// Whether they exist is not checked.
[[nodiscard]] QStringList UserFolderPaths();

// Folders that hold the desktop's and this program's settings, caches, data and runtime files:
// sharing one of them, or a folder around one, would let the remote side change how this computer
// (and this program's trust in servers) behaves.
[[nodiscard]] QStringList PrivateFolderPaths();

// A folder's real path (links resolved) when it exists and belongs to this user; empty otherwise.
[[nodiscard]] QString OwnFolder(const QString& path);

// Whether a folder can be shared: it exists, is a folder, and this user may list and enter it.
[[nodiscard]] bool FolderShareable(const QString& path);

// Whether a sound output can be reached: a PulseAudio (or PipeWire) server socket, or an ALSA
// playback device that opens.
[[nodiscard]] bool SoundOutputAvailable();
