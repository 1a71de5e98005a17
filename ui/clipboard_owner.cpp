// The CLIPBOARD selection's owner, on Xlib directly: it has no window to show.
#include "ui/clipboard_owner.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/desktop/ui_channel.hpp"
#include "platform/posix/fd.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::ui {
namespace {

namespace channel = platform::posix::desktop::channel;

// Latin-1 for the STRING target: every character above U+00FF becomes "?".
std::string Latin1(const std::string& utf8) {
  std::string out;
  for (const char16_t unit : runtime::FromUtf8(utf8)) {
    out += unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  return out;
}

// Every word to the library within this time, or not at all.
constexpr int kSayLimitMs = 10000;

void Say(int fd, const channel::Message& message) {
  channel::Send(fd, message, platform::posix::MonotonicMs() + kSayLimitMs);
}

struct Atoms {
  explicit Atoms(Display* d)
      : clipboard(XInternAtom(d, "CLIPBOARD", False)),
        targets(XInternAtom(d, "TARGETS", False)),
        timestamp(XInternAtom(d, "TIMESTAMP", False)),
        utf8(XInternAtom(d, "UTF8_STRING", False)),
        text(XInternAtom(d, "TEXT", False)),
        plain_utf8(XInternAtom(d, "text/plain;charset=utf-8", False)),
        incr(XInternAtom(d, "INCR", False)),
        stamp(XInternAtom(d, "COBALTMOTH_STAMP", False)) {}
  Atom clipboard, targets, timestamp, utf8, text, plain_utf8, incr, stamp;
};

// A transfer in increments to one requestor's property.
struct Increment {
  std::string data;
  std::size_t sent = 0;
  Atom type = None;
  bool finished = false;
};

class Owner {
 public:
  Owner(Display* display, std::string text)
      : d_(display),
        atoms_(display),
        utf8_(std::move(text)),
        latin1_(Latin1(utf8_)),
        window_(XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 1, 1, 0, 0, 0)) {
    XSelectInput(d_, window_, PropertyChangeMask);
    const long max_request = XExtendedMaxRequestSize(d_) > 0 ? XExtendedMaxRequestSize(d_)
                                                              : XMaxRequestSize(d_);
    chunk_ = static_cast<std::size_t>(std::min<long>(max_request * 4 - 1024, 1 << 18));
  }

  // Takes the selection; false when the server would not give it.
  bool Take() {
    since_ = ServerTime();
    XSetSelectionOwner(d_, atoms_.clipboard, window_, since_);
    return XGetSelectionOwner(d_, atoms_.clipboard) == window_;
  }

  // Serves requests until the selection is taken away or the time is up.
  void Serve(int seconds) {
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const int fd = ConnectionNumber(d_);
    for (;;) {
      while (XPending(d_) > 0) {
        XEvent event;
        XNextEvent(d_, &event);
        if (event.type == SelectionClear && event.xselectionclear.window == window_) return;
        if (event.type == SelectionRequest) Answer(event.xselectionrequest);
        if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
          Continue(event.xproperty.window, event.xproperty.atom);
        }
      }
      struct timespec now {};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const long left = seconds - (now.tv_sec - start.tv_sec);
      if (left <= 0) return;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(fd, &readable);
      struct timeval wait {std::min(left, 1L), 0};
      ::select(fd + 1, &readable, nullptr, nullptr, &wait);
    }
  }

 private:
  // The server's time now, from a property change of our own window.
  Time ServerTime() {
    const unsigned char none = 0;
    XChangeProperty(d_, window_, atoms_.stamp, XA_STRING, 8, PropModeReplace, &none, 0);
    XEvent event;
    do {
      XWindowEvent(d_, window_, PropertyChangeMask, &event);
    } while (event.xproperty.atom != atoms_.stamp);
    return event.xproperty.time;
  }

  void Answer(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    // A client of the old protocol names no property: the target's name is used.
    const Atom property = request.property == None ? request.target : request.property;
    reply.property = Store(request.requestor, property, request.target) ? property : None;
    XSendEvent(d_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d_);
  }

  bool Store(Window requestor, Atom property, Atom target) {
    if (target == atoms_.targets) {
      const Atom list[] = {atoms_.targets,     atoms_.timestamp, atoms_.utf8,
                           atoms_.plain_utf8,  atoms_.text,      XA_STRING};
      XChangeProperty(d_, requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(list), 6);
      return true;
    }
    if (target == atoms_.timestamp) {
      const long stamp = static_cast<long>(since_);
      XChangeProperty(d_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&stamp), 1);
      return true;
    }
    const std::string* data = nullptr;
    Atom type = None;
    if (target == atoms_.utf8 || target == atoms_.text || target == atoms_.plain_utf8) {
      data = &utf8_;
      type = target == atoms_.text ? atoms_.utf8 : target;
    } else if (target == XA_STRING) {
      data = &latin1_;
      type = XA_STRING;
    } else {
      return false;
    }
    if (data->size() <= chunk_) {
      XChangeProperty(d_, requestor, property, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(data->data()),
                      static_cast<int>(data->size()));
      return true;
    }
    // Too large for one request: announce the size, then hand out a chunk each time the
    // requestor has deleted the property.
    XSelectInput(d_, requestor, PropertyChangeMask);
    const long size = static_cast<long>(data->size());
    XChangeProperty(d_, requestor, property, atoms_.incr, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    increments_[{requestor, property}] = Increment{*data, 0, type, false};
    return true;
  }

  void Continue(Window requestor, Atom property) {
    const auto it = increments_.find({requestor, property});
    if (it == increments_.end()) return;
    Increment& transfer = it->second;
    const std::size_t n = std::min(chunk_, transfer.data.size() - transfer.sent);
    XChangeProperty(d_, requestor, property, transfer.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(transfer.data.data() + transfer.sent),
                    static_cast<int>(n));
    transfer.sent += n;
    XFlush(d_);
    if (n == 0) {  // the empty chunk ends the transfer
      increments_.erase(it);
      XSelectInput(d_, requestor, NoEventMask);
    }
  }

  Display* d_;
  Atoms atoms_;
  std::string utf8_;
  std::string latin1_;
  Window window_;
  std::size_t chunk_ = 0;
  Time since_ = CurrentTime;
  std::map<std::pair<Window, Atom>, Increment> increments_;
};

// A connection that breaks leaves nothing to serve.
int OnIoError(Display*) { ::_exit(0); }
int OnError(Display*, XErrorEvent*) { return 0; }  // a requestor that vanished mid-transfer

}  // namespace

int KeepClipboard(int fd) {
  channel::Decoder decoder;
  channel::Message request;
  if (channel::ReceiveMessage(fd, decoder, platform::posix::MonotonicMs() + kSayLimitMs,
                              &request) != channel::Receive::kMessage ||
      request.kind != channel::kClip) {
    Say(fd, {std::string(channel::kError), {"no text for the clipboard"}});
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    Say(fd, {std::string(channel::kError), {"cannot open the display"}});
    return 1;
  }
  XSetIOErrorHandler(OnIoError);
  XSetErrorHandler(OnError);
  Owner owner(display, std::string(request.Field(0)));
  if (!owner.Take()) {
    Say(fd, {std::string(channel::kError), {"the clipboard was not given"}});
    return 1;
  }
  Say(fd, {std::string(channel::kOwned), {}});
  ::close(fd);
  owner.Serve(kClipboardKeepSeconds);
  XCloseDisplay(display);
  return 0;
}

}  // namespace cobaltmoth::ui
