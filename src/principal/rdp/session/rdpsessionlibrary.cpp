// The entry point of the session library: the one symbol it exports, through which the program
// reaches FreeRDP.

#include "principal/rdp/irdpsession.h"
#include "principal/rdp/session/rdpsession.h"

namespace {

std::unique_ptr<IRdpSession> CreateSession(TRdpConnectParams params, QObject* receiver,
                                           TRdpSessionEvents* events) {
  return std::make_unique<TRdpSession>(std::move(params), receiver, events);
}

constexpr TRdpSessionLibrary kLibrary{&CreateSession, &TRdpSession::ReasonText,
                                      &TRdpSession::LocalKeyboardLayout};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TRdpSessionLibrary*
zentra_rdp_session_library() {
  return &kLibrary;
}
