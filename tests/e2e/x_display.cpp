#include "tests/e2e/x_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "platform/utf.h"

extern char** environ;

namespace vistrel::test {
namespace {

using namespace std::chrono_literals;

}  // namespace

std::string Utf8Of(std::u32string_view text) {
  std::u16string units;
  for (const char32_t c : text) {
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  return WideToUtf8(units);
}

Xvfb::Xvfb(const std::string& screen) : screen_(screen) {
  for (int number = 90 + ::getpid() % 50; number < 200; ++number) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
    if (std::filesystem::exists(socket) || std::filesystem::exists(lock)) continue;
    number_ = number;
    if (Restart()) name_ = ":" + std::to_string(number);
    return;
  }
}

bool Xvfb::Restart() {
  if (pid_ > 0 || number_ < 0) return false;
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number_);
  const std::string display = ":" + std::to_string(number_);
  std::vector<std::string> args = {"Xvfb", display, "-nolisten", "tcp", "-screen", "0", screen_};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return false;
  }
  for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return std::filesystem::exists(socket);
}

void Xvfb::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Xvfb::~Xvfb() { Stop(); }

struct FocusedWindow::Impl {
  Display* display = nullptr;
  Window window = 0;
  ~Impl() {
    if (display) XCloseDisplay(display);
  }
  // The next event within `limit`, or false.
  bool Next(XEvent& event, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!XPending(display)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{ConnectionNumber(display), POLLIN, 0};
      ::poll(&entry, 1, static_cast<int>(left.count()));
    }
    XNextEvent(display, &event);
    return true;
  }
};

std::unique_ptr<WindowManagerCheck> WindowManagerCheck::Open(const std::string& name) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return nullptr;
  std::unique_ptr<WindowManagerCheck> check(new WindowManagerCheck);
  check->display_ = d;
  const Window root = DefaultRootWindow(d);
  Window window = XCreateSimpleWindow(d, root, -1, -1, 1, 1, 0, 0, 0);
  const Atom check_atom = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  for (const Window target : {root, window}) {
    XChangeProperty(d, target, check_atom, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&window), 1);
  }
  const char name_text[] = "vistrel-bench";
  XChangeProperty(d, window, XInternAtom(d, "_NET_WM_NAME", False),
                  XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(name_text), sizeof name_text - 1);
  XChangeProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False), XA_ATOM, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&check_atom), 1);
  XSync(d, False);
  return check;
}

WindowManagerCheck::~WindowManagerCheck() {
  if (display_) XCloseDisplay(display_);
}

std::unique_ptr<FocusedWindow> FocusedWindow::Open(const std::string& name) {
  auto impl = std::make_unique<Impl>();
  impl->display = XOpenDisplay(name.c_str());
  if (!impl->display) return nullptr;
  Display* d = impl->display;
  impl->window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
  XSelectInput(d, impl->window, KeyPressMask | StructureNotifyMask | PropertyChangeMask);
  XMapWindow(d, impl->window);
  XEvent event;
  while (impl->Next(event, 5s) && event.type != MapNotify) {
  }
  XSetInputFocus(d, impl->window, RevertToParent, CurrentTime);
  XSync(d, False);
  return std::unique_ptr<FocusedWindow>(new FocusedWindow(std::move(impl)));
}

FocusedWindow::FocusedWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FocusedWindow::~FocusedWindow() = default;

std::string FocusedWindow::ReadTyped(std::chrono::milliseconds quiet) {
  std::string typed;
  XEvent event;
  while (impl_->Next(event, quiet)) {
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    if (event.type != KeyPress) continue;
    // As a client translates it: with the modifiers held and the keymap now.
    KeySym sym = NoSymbol;
    char ignored[16];
    XLookupString(&event.xkey, ignored, sizeof ignored, &sym, nullptr);
    if (sym >= 0x20 && sym <= 0xFF) {
      typed += Utf8Of(std::u32string(1, static_cast<char32_t>(sym)));
    } else if ((sym & 0xFF000000) == 0x01000000) {
      typed += Utf8Of(std::u32string(1, static_cast<char32_t>(sym & 0xFFFFFF)));
    }
  }
  return typed;
}

bool FocusedWindow::HasClipboardManager() {
  Display* d = impl_->display;
  return XGetSelectionOwner(d, XInternAtom(d, "CLIPBOARD_MANAGER", False)) != None;
}

std::string FocusedWindow::ReadClipboard() {
  Display* d = impl_->display;
  const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  const Atom property = XInternAtom(d, "VISTREL_TEST_CLIP", False);
  XConvertSelection(d, clipboard, utf8, property, impl_->window, CurrentTime);
  XEvent event;
  while (impl_->Next(event, 5s)) {
    if (event.type != SelectionNotify) continue;
    if (event.xselection.property == None) return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(d, impl_->window, property, 0, 1 << 20, True, AnyPropertyType, &type,
                           &format, &count, &after, &data) == Success && data) {
      text.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return text;
  }
  return {};
}

}  // namespace vistrel::test
