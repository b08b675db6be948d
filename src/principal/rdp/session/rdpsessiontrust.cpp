#include <freerdp/freerdp.h>
#include <freerdp/settings.h>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcertificate.h"
#include "principal/rdp/session/rdpknownhosts.h"
#include "principal/rdp/session/rdpsessionimpl.h"
#include "principal/rdp/session/rdpsessionsockets.h"

// Whom the password goes to: every certificate of every connection is decided here, by what
// the person trusted before, the provider's authority, or the person's answer.

namespace {

// How long a connection waits for the person to answer a certificate question.
constexpr auto kCertificateAnswerTimeout = std::chrono::minutes(10);
// Answers to FreeRDP's certificate check. FreeRDP remembers nothing itself (the certificates the
// person trusted are ours to keep), so an accepted certificate is accepted for this connection.
constexpr int kCertificateRefuse = 0;
constexpr int kCertificateAccept = 2;
// The remembered certificates, in the program's configuration folder.
constexpr char kKnownHostsFile[] = "known_hosts2";

}  // namespace

TRdpSession::Impl::AskResult TRdpSession::Impl::Ask(
    std::shared_ptr<TCertificateQuestion> question) {
  const std::vector<int> sockets = AttemptSockets();
  Post([question](TRdpSessionEvents& e) { e.SessionAskCertificate(question); });
  // The session thread holds the connection until the person answers. A Disconnect, a control
  // that goes away (Detach), a server that hangs up meanwhile or the time limit end the wait:
  // the question is withdrawn, so an answer given later goes nowhere.
  bool serverGone = false;
  const auto outcome = question->WaitForAnswer(
      std::chrono::steady_clock::now() + kCertificateAnswerTimeout, [this, &sockets, &serverGone] {
        if (abortRequested) return false;
        {
          std::lock_guard lock(linkMutex);
          if (receiver == nullptr) return false;
        }
        serverGone = PeerGone(sockets);
        return !serverGone;
      });
  if (outcome == TCertificateQuestion::Outcome::Withdrawn) {
    qCInfo(lcRdp) << "the certificate question was withdrawn: the attempt ended first";
    Post([question](TRdpSessionEvents& e) { e.SessionCertificateQuestionOver(question); });
  }
  return {outcome, serverGone && outcome == TCertificateQuestion::Outcome::Withdrawn};
}

int TRdpSession::Impl::CheckCertificate(const BYTE* pem, size_t length, const char* host,
                                        UINT16 port) {
  // Every certificate of every connection comes here (FreeRDP decides nothing itself), before
  // anything that depends on the password leaves: the Client Info PDU, and under NLA the NTLM
  // messages, which go out before the server has proved anything.
  const auto cert = ReadServerCertificate(pem, length);
  if (!cert || host == nullptr) {
    certificateRefused = true;
    return kCertificateRefuse;
  }
  const QString hostName = QString::fromUtf8(host);
  const auto remembered = TKnownHosts::Load(KnownHostsPath()).Fingerprint(hostName, port);
  if (remembered && remembered->compare(cert->fingerprint, Qt::CaseInsensitive) == 0) {
    qCInfo(lcRdp) << "certificate trusted earlier for" << hostName << port;
    return kCertificateAccept;
  }
  if (VerifiedByProviderAuthority(pem, length, hostName)) {
    qCInfo(lcRdp) << "certificate issued for" << hostName << "by the provider's authority";
    return kCertificateAccept;
  }
  if (HostInsideDomains(hostName, params.providerDomains) &&
      VerifiedBySystemAuthorities(pem, length, hostName)) {
    qCInfo(lcRdp) << "certificate vouched for by the system's authorities for" << hostName
                  << "inside the provider's domain";
    return kCertificateAccept;
  }
  const auto kind =
      remembered ? TCertificateQuestion::Kind::Changed : TCertificateQuestion::Kind::Unknown;
  qCInfo(lcRdp) << (remembered ? "the certificate changed since it was trusted:"
                               : "nothing vouches for the certificate:")
                << "asking before anything is sent to" << hostName;
  const AskResult asked =
      Ask(std::make_shared<TCertificateQuestion>(kind, hostName, cert->subject, cert->fingerprint));
  switch (asked.outcome) {
    case TCertificateQuestion::Outcome::Trusted:
      qCInfo(lcRdp) << "the person trusts the certificate; remembered once the session is up";
      approval = Approval{hostName, port, cert->fingerprint};
      return kCertificateAccept;
    case TCertificateQuestion::Outcome::Refused:
      qCInfo(lcRdp) << "the person refused the certificate";
      certificateRefused = true;
      return kCertificateRefuse;
    default:
      // A server that hung up before the answer is a failed attempt like any other: nobody
      // said no, and the next attempt asks again. Anything else that ended the wait (the time
      // limit, the control gone) ends the attempts as a no would.
      if (asked.serverGone)
        qCInfo(lcRdp) << "the server hung up before the answer: nothing was refused";
      else
        certificateRefused = true;
      return kCertificateRefuse;
  }
}

QString TRdpSession::Impl::KnownHostsPath() const {
  if (params.configFolder.isEmpty()) return {};
  return params.configFolder + QLatin1Char('/') + QLatin1String(kKnownHostsFile);
}

void TRdpSession::Impl::RememberApproval() {
  if (!approval) return;
  const QString path = KnownHostsPath();
  TKnownHosts hosts = TKnownHosts::Load(path);
  hosts.Remember(approval->host, approval->port, approval->fingerprint);
  if (path.isEmpty() || !hosts.Save(path))
    qCWarning(lcRdp) << "the trusted certificate could not be remembered";
  approval.reset();
}

void TRdpSession::Impl::ForgetAcceptedCertificate(rdpSettings* settings) {
  // FreeRDP keeps the certificate it last accepted and takes the same one again without asking:
  // across its own retry after a broken attempt, and across reconnections.
  approval.reset();
  (void)freerdp_settings_set_string(settings, FreeRDP_AcceptedCert, nullptr);
  (void)freerdp_settings_set_uint32(settings, FreeRDP_AcceptedCertLength, 0);
}

void TRdpSession::Impl::ConnectionStateChanged(void* context, ConnectionStateChangeEventArgs* e) {
  // Every connection, FreeRDP's own retry included, begins with the negotiation.
  if (e->state != CONNECTION_STATE_NEGO) return;
  qCDebug(lcRdp) << "a connection starts: nothing of an earlier one is trusted";
  auto* rdp = static_cast<rdpContext*>(context);
  SessionOf(rdp)->ForgetAcceptedCertificate(rdp->settings);
}

int TRdpSession::Impl::VerifyX509Certificate(freerdp* inst, const BYTE* data, size_t length,
                                             const char* host, UINT16 port, DWORD flags) {
  Impl* self = SessionOf(inst);
  if (self->abortRequested) return kCertificateRefuse;
  // Gateways and redirections get the same rules; FreeRDP only tells them apart in flags.
  qCDebug(lcRdp) << "checking the certificate of" << host << port << "flags" << flags;
  return self->CheckCertificate(data, length, host, port);
}
