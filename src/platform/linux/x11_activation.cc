#include "platform/linux/x11_activation.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#if __has_include(<X11/Xlib.h>)
// Declarations only: every call goes through the pointers below, so the
// launcher needs no libX11 at load time.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#define QL_HAVE_X11_HEADERS 1
#endif

namespace ql::linux_backend {

std::optional<uint32_t> timestampFromStartupId(const std::string& startupId) {
  size_t at = startupId.rfind("_TIME");
  if (at == std::string::npos) return std::nullopt;
  std::string digits = startupId.substr(at + 5);
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  unsigned long long v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  // X timestamps are 32-bit; 0 means "now" (CurrentTime), not a time.
  if (v == 0 || v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(v);
}

#if QL_HAVE_X11_HEADERS

namespace {

#define QL_X11_FUNCTIONS(X) \
  X(XOpenDisplay)           \
  X(XCloseDisplay)          \
  X(XDefaultRootWindow)     \
  X(XInternAtom)            \
  X(XGetWindowProperty)     \
  X(XFree)                  \
  X(XSendEvent)             \
  X(XSync)                  \
  X(XSetErrorHandler)       \
  X(XQueryTree)             \
  X(XGetWindowAttributes)   \
  X(XRaiseWindow)           \
  X(XSetInputFocus)         \
  X(XCreateSimpleWindow)    \
  X(XDestroyWindow)         \
  X(XSelectInput)           \
  X(XChangeProperty)        \
  X(XWindowEvent)

struct X11 {
#define QL_X11_MEMBER(name) decltype(&::name) name = nullptr;
  QL_X11_FUNCTIONS(QL_X11_MEMBER)
#undef QL_X11_MEMBER

  // Loaded once and never closed: Xlib keeps process-wide state (its error
  // handlers, the display list) that must not vanish under GTK, which may
  // have loaded the same library for the alerts.
  static const X11* get(const char* soname) {
    static std::string loadedName;
    static std::unique_ptr<X11> loaded;
    if (loaded && loadedName == soname) return loaded.get();
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    auto x = std::make_unique<X11>();
#define QL_X11_RESOLVE(name)                                                        \
  x->name = reinterpret_cast<decltype(x->name)>(::dlsym(handle, #name));            \
  if (!x->name) return nullptr;
    QL_X11_FUNCTIONS(QL_X11_RESOLVE)
#undef QL_X11_RESOLVE
    loaded = std::move(x);
    loadedName = soname;
    return loaded.get();
  }
};

#undef QL_X11_FUNCTIONS

// A window can vanish between the moment it is listed and the moment it is
// read; Xlib's default handler would end the whole launcher for that.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

// A 32-bit-format property as the longs Xlib hands it back in.
std::vector<unsigned long> cardinals(const X11& x, Display* d, Window w, Atom property, Atom type) {
  Atom actualType = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  if (x.XGetWindowProperty(d, w, property, 0, 1L << 16, False, type, &actualType, &format, &count, &after, &data) ==
          Success &&
      data && format == 32 && actualType == type) {
    auto* values = reinterpret_cast<unsigned long*>(data);
    out.assign(values, values + count);
  }
  if (data) x.XFree(data);
  return out;
}

std::optional<std::string> stringProperty(const X11& x, Display* d, Window w, Atom property) {
  Atom actualType = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> out;
  if (x.XGetWindowProperty(d, w, property, 0, 1024, False, AnyPropertyType, &actualType, &format, &count, &after,
                           &data) == Success &&
      data && format == 8) {
    out = std::string(reinterpret_cast<char*>(data), count);
  }
  if (data) x.XFree(data);
  return out;
}

// The server's time now: a zero-length append to a property of a private,
// never-mapped window makes the server report its clock in the notify.
Time serverTime(const X11& x, Display* d, Window root) {
  Window probe = x.XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
  x.XSelectInput(d, probe, PropertyChangeMask);
  Atom stamp = x.XInternAtom(d, "_QL_TIMESTAMP_PROBE", False);
  unsigned char none = 0;
  x.XChangeProperty(d, probe, stamp, XA_STRING, 8, PropModeAppend, &none, 0);
  XEvent event{};
  x.XWindowEvent(d, probe, PropertyChangeMask, &event);
  x.XDestroyWindow(d, probe);
  return event.xproperty.time;
}

}  // namespace

X11ActivationResult activateX11WindowsOfProcess(int pid, uint32_t timestamp, const char* library) {
  X11ActivationResult result;
  const char* display = std::getenv("DISPLAY");
  if (pid <= 0 || !display || !*display) return result;
  const X11* x = X11::get(library);
  if (!x) return result;
  Display* d = x->XOpenDisplay(nullptr);
  if (!d) return result;
  result.displayOpened = true;
  auto previousHandler = x->XSetErrorHandler(ignoreXError);

  Window root = x->XDefaultRootWindow(d);
  Atom netSupported = x->XInternAtom(d, "_NET_SUPPORTED", False);
  Atom netActive = x->XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  Atom netStacking = x->XInternAtom(d, "_NET_CLIENT_LIST_STACKING", False);
  Atom netClients = x->XInternAtom(d, "_NET_CLIENT_LIST", False);
  Atom netPid = x->XInternAtom(d, "_NET_WM_PID", False);
  Atom clientMachine = x->XInternAtom(d, "WM_CLIENT_MACHINE", False);

  bool ewmh = false;
  for (unsigned long a : cardinals(*x, d, root, netSupported, XA_ATOM)) ewmh |= a == netActive;

  // Candidates bottom to top, so activating them in order leaves the
  // topmost of them on top. A managing window manager lists its clients;
  // without one the top-level windows are the root's children.
  std::vector<Window> windows;
  if (ewmh) {
    for (Atom list : {netStacking, netClients}) {
      for (unsigned long w : cardinals(*x, d, root, list, XA_WINDOW)) windows.push_back(w);
      if (!windows.empty()) break;
    }
  } else {
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int n = 0;
    if (x->XQueryTree(d, root, &rootReturn, &parent, &children, &n) && children) {
      windows.assign(children, children + n);
      x->XFree(children);
    }
  }

  char host[HOST_NAME_MAX + 1] = {};
  bool haveHost = ::gethostname(host, sizeof host - 1) == 0;
  std::vector<Window> theirs;
  for (Window w : windows) {
    auto pids = cardinals(*x, d, w, netPid, XA_CARDINAL);
    if (pids.empty() || pids[0] != static_cast<unsigned long>(pid)) continue;
    // A process id means something on its own machine only.
    if (auto machine = stringProperty(*x, d, w, clientMachine); machine && haveHost && *machine != host) continue;
    if (!ewmh) {
      XWindowAttributes attributes{};
      if (!x->XGetWindowAttributes(d, w, &attributes) || attributes.map_state != IsViewable) continue;
    }
    theirs.push_back(w);
  }

  if (!theirs.empty()) {
    Time when = timestamp != 0 ? timestamp : serverTime(*x, d, root);
    for (Window w : theirs) {
      if (ewmh) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = netActive;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // source: a direct user action (as a pager)
        event.xclient.data.l[1] = static_cast<long>(when);
        event.xclient.data.l[2] = 0;  // the requester has no active window
        x->XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
      } else {
        x->XRaiseWindow(d, w);
        x->XSetInputFocus(d, w, RevertToParent, when);
      }
      ++result.windowsActivated;
    }
  }
  // Every request reaches the server (and every error comes back, to the
  // quiet handler) before the handler is put back.
  x->XSync(d, False);
  x->XSetErrorHandler(previousHandler);
  x->XCloseDisplay(d);
  return result;
}

#else  // no X11 headers at build time: no X11 activation

X11ActivationResult activateX11WindowsOfProcess(int, uint32_t, const char*) { return {}; }

#endif

}  // namespace ql::linux_backend
