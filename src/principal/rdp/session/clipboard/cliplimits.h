#pragma once

#include <chrono>
#include <cstdint>

// Everything the remote side sends through the clipboard is untrusted: these bounds are applied
// before anything is allocated or written, and a message beyond them is refused as a whole.

// Formats kept from one format list; a real desktop offers a few dozen at most.
inline constexpr int kMaxClipFormats = 256;
// A format's registered name ("HTML Format", "FileGroupDescriptorW"), in characters.
inline constexpr int kMaxClipFormatNameLength = 255;
// One format's data in one response (text, HTML, a picture, a file list).
inline constexpr std::uint32_t kMaxClipDataBytes = 128u * 1024u * 1024u;
// A picture's sides and its pixel count (a 32-bit picture of 64 Mpx is 256 MiB decoded).
inline constexpr std::int32_t kMaxPictureSide = 32768;
inline constexpr std::int64_t kMaxPicturePixels = 64ll * 1024 * 1024;
// Entries in one file list, either way.
inline constexpr std::uint32_t kMaxClipFiles = 10000;
// A file's path inside a file list, in UTF-16 units without the terminating NUL (the descriptor
// holds 260 with it).
inline constexpr int kMaxClipPathUnits = 259;
// One name on the local disk, in UTF-8 bytes (the file system's own limit).
inline constexpr int kMaxLocalNameBytes = 255;
// What we ask the server for in one file contents request, and the most we hand it in one answer:
// a file of any size passes through memory a chunk at a time.
inline constexpr std::uint32_t kFileChunkBytes = 1024u * 1024u;
inline constexpr std::uint32_t kMaxServedChunkBytes = 8u * 1024u * 1024u;

// How long a local program's paste waits for the server's data, in all (every format tried and
// the file list of a file paste), and how long a file transfer, which shows its progress and can
// be cancelled, waits for the next chunk before it gives up.
inline constexpr std::chrono::milliseconds kClipDataTimeout{2000};
inline constexpr std::chrono::milliseconds kFileChunkTimeout{30000};

// Requests of the server for our files waiting for the reading thread: each answer may hold
// kMaxServedChunkBytes, and answers queue up in FreeRDP's channel until the network takes them.
// A request beyond this is refused at once rather than queued.
inline constexpr int kMaxQueuedFileRequests = 8;

// Free space a paste of remote files leaves on the disk of the paste folder, at least: this much
// plus a fiftieth of the paste, so the desktop and its programs keep room to work.
inline constexpr std::uint64_t kPasteSpareBytes = 64ull * 1024 * 1024;

// Pasted remote files wait in our folder only until the file manager has copied them on; a
// folder of an earlier paste older than this is removed when the next paste starts.
inline constexpr std::chrono::hours kPastedFilesKept{24};
