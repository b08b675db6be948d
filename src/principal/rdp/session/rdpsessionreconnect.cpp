#include <freerdp/error.h>
#include <freerdp/freerdp.h>

#include <algorithm>
#include <thread>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcodecs.h"
#include "principal/rdp/session/rdpsessionimpl.h"
#include "principal/rdp/session/rdpsessionsockets.h"

// What ended a connection, whether it is worth getting back, and the attempts that get it back.

TRdpSessionEnd TRdpSession::Impl::End(freerdp* inst) const {
  TRdpSessionEnd end;
  end.ourDisconnect = abortRequested;
  end.refusedHere = certificateRefused || frameSink.Refusal() != 0;
  end.closedDuringLogon = freerdp_get_state(inst->context) == CONNECTION_STATE_NLA;
  end.errorInfo = freerdp_error_info(inst);
  end.lastError = freerdp_get_last_error(inst->context);
  end.whileResizing =
      lastLayoutSentAt && TRdpLayoutPacer::Clock::now() - *lastLayoutSentAt < kResizeGrace;
  end.outOfStep = outOfStep;
  return end;
}

bool TRdpSession::Impl::ShouldReconnect(freerdp* inst) const {
  const TRdpSessionEnd end = End(inst);
  if (WorthReconnecting(end)) {
    if (end.outOfStep)
      qCInfo(lcRdp) << "the server changed the desktop's size without telling us: "
                       "getting the session back at the size asked";
    else if (end.whileResizing && end.errorInfo == ERRINFO_LOGOFF_BY_USER)
      qCInfo(lcRdp) << "the server ended the session as it changed the desktop's size: "
                       "getting it back";
    return true;
  }
  if (!end.ourDisconnect)
    qCInfo(lcRdp) << "the session was ended, not lost: no new attempt (error info" << end.errorInfo
                  << "error" << end.lastError << ")";
  return false;
}

bool TRdpSession::Impl::Pause(std::chrono::milliseconds delay) const {
  const auto until = std::chrono::steady_clock::now() + delay;
  while (!abortRequested) {
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kAbortPoll));
  }
  return false;
}

bool TRdpSession::Impl::Reconnect(freerdp* inst) {
  qCInfo(lcRdp) << "the connection was lost; reconnecting";
  Post([](TRdpSessionEvents& e) { e.SessionReconnecting(); });
  // The new connection asks for the size the view wants: what was asked before is settled.
  outOfStep = false;
  lastLayoutSentAt.reset();
  const auto& delays = params.reconnectDelays;
  for (size_t attempt = 0; attempt < delays.size(); ++attempt) {
    if (!Pause(delays[attempt])) return false;
    {
      std::lock_guard lock(instanceMutex);
      socketsBefore = SocketsOpenNow();
      connecting = true;
      // FreeRDP files an attempt whose certificate was not accepted as cancelled, and then
      // refuses every later reconnection at once while that error stands, even where nobody
      // refused anything (the server hung up during the question). Whether the attempts go on
      // is ours to decide (ShouldReconnect); an Abort files it again, under this lock.
      if (!abortRequested &&
          freerdp_get_last_error(inst->context) == FREERDP_ERROR_CONNECT_CANCELLED)
        freerdp_set_last_error(inst->context, FREERDP_ERROR_SUCCESS);
    }
    // FreeRDP clears its abort signal as the attempt starts: our flag is looked at after it, and
    // Abort shuts the attempt's socket as it does for a first connection. The desktop asked is
    // the one the view wants now, which may have changed since the connection was lost.
    const bool back =
        !abortRequested && ApplyConnectLayout(inst->settings) && freerdp_reconnect(inst) != FALSE;
    {
      std::lock_guard lock(instanceMutex);
      connecting = false;
    }
    if (abortRequested) return false;
    if (back) {
      // New decoders for the new connection, and no PostConnect to prepare them.
      PrepareDecoders(inst->context);
      RememberApproval();
      qCInfo(lcRdp) << "reconnected after" << attempt + 1 << "attempts";
      return true;
    }
    // A server that answers but refuses (the password changed, the account was locked, the
    // certificate is refused) ends the attempts with its reason, as a first connection would.
    if (!ShouldReconnect(inst)) return false;
    // A channel (a redirected device that broke) that failed while coming back does not count.
    DropFailedChannel(inst->context);
    qCDebug(lcRdp) << "reconnection attempt" << attempt + 1 << "failed";
  }
  qCInfo(lcRdp) << "the connection could not be got back";
  return false;
}

bool TRdpSession::Impl::DropFailedChannel(rdpContext* context) {
  // A channel that fails (a sound device that stops, a redirected device that breaks) stops only
  // itself: FreeRDP would end the whole session over it.
  if (WaitForSingleObject(getChannelErrorEventHandle(context), 0) != WAIT_OBJECT_0) return false;
  const char* description = getChannelErrorDescription(context);
  qCWarning(lcRdp) << "a channel failed and is dropped:" << getChannelError(context)
                   << (description != nullptr ? description : "");
  clearChannelError(context);
  return true;
}

bool TRdpSession::WorthReconnecting(const TRdpSessionEnd& end) {
  if (end.ourDisconnect || end.refusedHere || end.closedDuringLogon) return false;
  // We end such a connection ourselves, to come back to one desktop with the server.
  if (end.outOfStep) return true;
  // xrdp 0.9 with its Xorg back end and RemoteFX may lose track of its screen memory when it
  // changes the desktop's size, and then closes the connection as a logoff. Nobody logged off:
  // the person resized the window, and the session is still there to come back to.
  if (end.whileResizing && end.errorInfo == ERRINFO_LOGOFF_BY_USER) return true;
  // A server that ends the session says why (a logoff, an administrator's disconnect, a refusal);
  // FreeRDP files a disconnection notice that came without a reason as one of these too. It also
  // repeats the server's reason among its own codes.
  if (end.errorInfo != ERRINFO_SUCCESS && end.errorInfo != ERRINFO_NONE) return false;
  if ((end.lastError >> 16) == FREERDP_ERROR_ERRINFO_CLASS) return false;
  switch (end.lastError) {
    // The server would not let this account in: asking again with the same password only
    // counts against the account.
    case FREERDP_ERROR_AUTHENTICATION_FAILED:
    case FREERDP_ERROR_INSUFFICIENT_PRIVILEGES:
    case FREERDP_ERROR_CONNECT_PASSWORD_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_CERTAINLY_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_MUST_CHANGE:
    case FREERDP_ERROR_CONNECT_CLIENT_REVOKED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_DISABLED:
    case FREERDP_ERROR_CONNECT_LOGON_FAILURE:
    case FREERDP_ERROR_CONNECT_WRONG_PASSWORD:
    case FREERDP_ERROR_CONNECT_ACCESS_DENIED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_RESTRICTION:
    case FREERDP_ERROR_CONNECT_ACCOUNT_LOCKED_OUT:
    case FREERDP_ERROR_CONNECT_ACCOUNT_EXPIRED:
    case FREERDP_ERROR_CONNECT_LOGON_TYPE_NOT_GRANTED:
    case FREERDP_ERROR_CONNECT_NO_OR_MISSING_CREDENTIALS:
      return false;
    default:
      // The network or the server's side of it broke: worth trying again.
      return true;
  }
}
