// Linked into the tests only in ThreadSanitizer builds.
//
// Qt starts every child process (QProcess: the test servers, Xvfb, xdotool) the way vfork does:
// glibc's clone() with CLONE_VM | CLONE_VFORK, the child running on the parent's memory until it
// executes the program. ThreadSanitizer's clone() interceptor (GCC 12) does its fork bookkeeping
// in that child as if it had memory of its own, and the child's share of it lands on the parent
// thread's state: every process started leaves the starting thread's count of "interceptors
// ignored" one lower, and a thread with a non-zero count has none of its mutex operations,
// allocations or thread starts seen. After the first test server the UI thread's locks were
// invisible, and every queue it hands to the session thread under a std::mutex looked like a race.
//
// glibc's own posix_spawn() makes the same kind of child without passing through the
// interceptor; this hands Qt's vfork-style children to libc's clone() the same way. Every other
// clone() still goes through the sanitizer.

#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

namespace {

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);

CloneFunction LibcClone() {
  static const CloneFunction function = [] {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return libc != nullptr ? reinterpret_cast<CloneFunction>(dlsym(libc, "clone")) : nullptr;
  }();
  return function;
}

CloneFunction SanitizerClone() {
  static const auto function = reinterpret_cast<CloneFunction>(dlsym(RTLD_NEXT, "clone"));
  return function;
}

}  // namespace

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
  // clone() reads its optional arguments only when the flags ask for them; passing them on
  // unread is what glibc's own wrapper does with its registers.
  va_list rest;
  va_start(rest, arg);
  auto* parentTid = va_arg(rest, pid_t*);
  auto* tls = va_arg(rest, void*);
  auto* childTid = va_arg(rest, pid_t*);
  va_end(rest);
  const bool vforkChild = (flags & CLONE_VM) != 0 && (flags & CLONE_VFORK) != 0;
  const CloneFunction target =
      vforkChild && LibcClone() != nullptr ? LibcClone() : SanitizerClone();
  return target(fn, stack, flags, arg, parentTid, tls, childTid);
}
