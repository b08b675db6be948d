#pragma once

#include <QString>

#include "principal/rdp/rdpdisplay.h"

// The port a remote desktop server listens on unless told otherwise.
inline constexpr int kDefaultRdpPort = 3389;

// Whom to connect to and as whom: what sign-in found out, the control's connection properties,
// and the start of every session's parameters. One record all the way, so that each default is
// written once and the password is handed on, never left behind in a copy.
struct TConnectionParameters {
  QString userName;
  QString password;
  int desktopWidth = kFallbackDesktopSize.width();
  int desktopHeight = kFallbackDesktopSize.height();
  QString server;  // a host name or an IP literal (the control refuses anything else)
  int port = kDefaultRdpPort;
};

// Overwrites a password held only here (a QString shared with others is left to them: writing
// to it would only copy it), then lets it go.
void WipePassword(QString& password);
