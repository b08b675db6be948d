#pragma once

#include <QString>

class QFile;

// How a start attempt ended. The download windows do not show it; tests and logs read it.
enum class StartOutcome {
  OpenedByDesktop,  // the desktop's opener took the file
  Failed,           // no opener could be started, or the file is gone
};

// Creates `fileName` (a plain name) for a download, in a folder made for this one download:
// "download-XXXXXX", mode 0700, under the program's folder in the user's cache folder
// ($XDG_CACHE_HOME or ~/.cache; the runtime folder when there is no home). Nothing is ever
// written into the working directory, where a planted link or a namesake would be overwritten.
// The file is created exclusively (O_EXCL) without following links (O_NOFOLLOW), mode 0600, and
// opened read-write in `file`. On success `path` is its full path; on failure `path` names the
// place that could not be used and `error` the system's reason.
[[nodiscard]] bool CreateDownloadFile(const QString& fileName, QFile& file, QString& path,
                                      QString& error);

// Starts a downloaded file by handing it to the desktop's opener (xdg-open), which runs an
// installer through whatever the desktop has for its kind. The file is never made executable
// and never spawned directly: what came over plain HTTP may have been replaced on the way, and a
// script or program planted so must not run as the user. The opener is reaped in the background.
StartOutcome StartDownloadedFile(const QString& fullPath);
