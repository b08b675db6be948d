#include "principal/rdp/irdpsession.h"

#include "principal/rdp/rdpsession.h"

namespace {

RdpSessionFactory& InstalledFactory() {
  static RdpSessionFactory factory;
  return factory;
}

}  // namespace

std::unique_ptr<IRdpSession> MakeRdpSession(RdpConnectParams params, QObject* receiver,
                                            TRdpSessionEvents* events) {
  if (const auto& factory = InstalledFactory()) return factory(std::move(params), receiver, events);
  return std::make_unique<TRdpSession>(std::move(params), receiver, events);
}

void SetRdpSessionFactory(RdpSessionFactory factory) {
  InstalledFactory() = std::move(factory);
}
