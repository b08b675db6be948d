#pragma once

// What the transfer tests against a scripted loopback peer share: a short reply, short bounds, and
// the players of a table of single replies and of calls in a row.
#include <gtest/gtest.h>

#include <QString>
#include <chrono>
#include <string>
#include <vector>

#include "httptestutil.h"
#include "scriptedpeer.h"
#include "service/http/httptransfer.h"

using namespace std::chrono_literals;

inline const std::string kOk5 = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

// Short bounds, so that a fault shows as a quick failure and not a hang.
inline void Quick(THttpTransfer& http) {
  http.SetTimeouts(2000ms, 2000ms);
}

// One reply, played by a fresh peer to a fresh component.
struct TReplyCase {
  const char* name;
  TPeerScript script;
  bool intoStream;
  QString text;       // text form
  QByteArray stream;  // stream form
  std::string progress;
  QString error;
};

// Each case against a fresh peer and a fresh component. A call that should fail fast has a
// deadline far below the time-outs, so a hang shows as a failure, not a stall.
template <size_t N>
void PlayCases(const TReplyCase (&cases)[N]) {
  for (const TReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer peer({c.script});
    THttpTransfer http;
    http.SetTimeouts(2000ms, std::string(c.name) == "silent server" ? 200ms : 2000ms);
    http.CallDeadline = 3000ms;
    const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/x")), c.intoStream);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.progress, c.progress);
    if (c.intoStream) {
      EXPECT_EQ(outcome.stream, c.stream);  // a failure's page never reaches the target
    } else {
      EXPECT_EQ(outcome.text, c.text);
    }
  }
}

// Calls in a row on one component against one peer: each call's text or failure, and how many
// connections the peer saw. A call that waited for a body it will never get would fail on the
// read time-out instead of the next reply coming through.
struct TSequenceCase {
  const char* name;
  std::vector<TPeerScript> scripts;
  std::vector<QString> results;  // text, or the failure's text
  int connections;
};

inline void PlaySequences(const std::vector<TSequenceCase>& cases) {
  for (const TSequenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer peer(c.scripts);
    THttpTransfer http;
    http.SetTimeouts(2000ms, 1000ms);
    for (size_t i = 0; i < c.results.size(); ++i) {
      const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/x")), false);
      EXPECT_EQ(outcome.error.isEmpty() ? outcome.text : outcome.error, c.results[i])
          << "call " << i;
    }
    EXPECT_EQ(peer.Accepted(), c.connections);
  }
}
