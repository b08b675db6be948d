#pragma once

#include <QObject>
#include <functional>
#include <utility>

#include "shell/application.h"

// Runs one event handler. Whatever escapes it goes to the default error box, so an exception
// never unwinds into Qt and the application carries on with the handler's earlier effects kept.
template <typename Fn>
void Dispatch(QObject* sender, Fn&& handler) {
  try {
    std::forward<Fn>(handler)();
  } catch (...) {
    if (Application != nullptr) Application->HandleException(sender);
  }
}

// Binds a signal to a handler method: Bind(Button1, &QPushButton::clicked, this,
// &TFrmLogin::Button1Click). The handler may take fewer arguments than the signal carries.
template <typename Sender, typename Signal, typename Receiver, typename R, typename Owner,
          typename... Args>
QMetaObject::Connection Bind(Sender* sender, Signal signal, Receiver* receiver,
                             R (Owner::*handler)(Args...)) {
  return QObject::connect(sender, signal, receiver, [sender, receiver, handler](Args... args) {
    Dispatch(sender, [&] { (receiver->*handler)(std::forward<Args>(args)...); });
  });
}

// Binds a signal to a handler that takes no arguments.
template <typename Sender, typename Signal>
QMetaObject::Connection Bind(Sender* sender, Signal signal, QObject* context,
                             std::function<void()> handler) {
  return QObject::connect(sender, signal, context,
                          [sender, handler = std::move(handler)] { Dispatch(sender, handler); });
}
