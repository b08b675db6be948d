#pragma once

#include <QString>
#include <exception>
#include <functional>

// The program's start: Qt's application, our application object, the bundled faces and the icon,
// then createForms (which creates the windows in their order), the message loop, and the end.
// Returns the process exit code: 0 after a normal end, 1 when creating the windows failed, after
// the fatal start-up report.
int RunApplication(int& argc, char** argv, const std::function<void()>& createForms);

// "Exception EKind in module zentra at 00000000." + line break + the message with its ".".
[[nodiscard]] QString FatalStartupReportText(std::exception_ptr failure, const QString& module);

inline constexpr char16_t kFatalReportCaption[] = u"Application Error";
