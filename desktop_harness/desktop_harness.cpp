// End-to-end harness: Xvfb and openbox through Xlib, XTest and XFixes, and Weston nested in an
// Xvfb, whose output is the Xvfb's screen.
#include "desktop_harness.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace desktop_harness {

namespace {

using namespace std::chrono_literals;

constexpr auto server_start_timeout = 30s;
constexpr const char* program_path = "/usr/bin:/bin";

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

// The full path of an installed program, looked up in the PATH that clients are given.
std::filesystem::path installed_program(const std::string& name)
{
    return support::program_on_path(name, program_path);
}

// A window that vanishes between two requests is no failure of the test's own; Xlib's default
// handler would end the test process on it.
int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

// ---- X11 ----

XServer::XServer(int width, int height)
{
    int display_pipe[2];
    if (pipe2(display_pipe, O_CLOEXEC) != 0)
        fail_errno("pipe2");
    process_.emplace(
        installed_program("Xvfb"),
        LaunchOptions{{"-displayfd", std::to_string(display_pipe[1]), "-screen", "0",
                       std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp", "-noreset"},
                      {{"PATH", program_path}},
                      {},
                      display_pipe[1]});
    close(display_pipe[1]);

    // Xvfb writes its display number once it accepts connections.
    const auto deadline = Clock::now() + server_start_timeout;
    std::string number;
    for (char c = 0; c != '\n';)
    {
        pollfd ready{display_pipe[0], POLLIN, 0};
        if (poll(&ready, 1, support::milliseconds_left(deadline)) <= 0 || read(display_pipe[0], &c, 1) != 1)
            break;
        if (c != '\n')
            number += c;
    }
    close(display_pipe[0]);
    if (number.empty())
        fail("Xvfb gave no display number: " + process_->standard_error());
    display_name_ = ":" + number;

    XSetErrorHandler(ignore_x_error);
    poll_until(server_start_timeout, [this] {
        display_ = XOpenDisplay(display_name_.c_str());
        return display_ != nullptr;
    });
    if (!display_)
        fail("cannot connect to Xvfb on " + display_name_);
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor) ||
        !XFixesQueryExtension(display_, &event_base, &error_base))
        fail("Xvfb lacks XTEST or XFIXES");
    // Answers to _NET_WM_PING come to the root window.
    XSelectInput(display_, root(), SubstructureNotifyMask);
    XSync(display_, False);
}

XServer::~XServer()
{
    if (display_)
        XCloseDisplay(display_);
}

Window XServer::root() const
{
    return DefaultRootWindow(display_);
}

Rect XServer::screen_rect() const
{
    return {0, 0, DisplayWidth(display_, DefaultScreen(display_)), DisplayHeight(display_, DefaultScreen(display_))};
}

namespace {

std::optional<long> cardinal_property(Display* display, Window window, Atom property)
{
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::optional<long> value;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        type == XA_CARDINAL && format == 32 && count == 1)
        value = *reinterpret_cast<long*>(data);
    if (data)
        XFree(data);
    return value;
}

} // namespace

std::optional<Window> XServer::find_window_of(pid_t pid, Duration timeout)
{
    return find_window(pid, timeout, [] { return false; });
}

std::optional<Window> XServer::find_window_of(Process& process, Duration timeout)
{
    return find_window(process.pid(), timeout, [&] { return !process.running(); });
}

std::optional<Window> XServer::find_window(pid_t pid, Duration timeout, const std::function<bool()>& give_up)
{
    std::vector<Window> found;
    poll_until(timeout, [&] {
        found = windows_of(pid);
        return !found.empty() || give_up();
    });
    if (found.empty())
        return std::nullopt;
    return found.front();
}

std::vector<Window> XServer::windows_of(pid_t pid)
{
    const Atom pid_atom = XInternAtom(display_, "_NET_WM_PID", False);
    std::vector<Window> found;
    std::function<void(Window)> search = [&](Window window) {
        XWindowAttributes attributes;
        if (window != root() && XGetWindowAttributes(display_, window, &attributes) &&
            attributes.c_class == InputOutput && attributes.map_state == IsViewable &&
            cardinal_property(display_, window, pid_atom) == pid)
        {
            found.push_back(window);
            return;
        }
        Window root_return, parent;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display_, window, &root_return, &parent, &children, &count))
            return;
        for (unsigned int i = 0; i < count; ++i)
            search(children[i]);
        if (children)
            XFree(children);
    };
    search(root());
    return found;
}

Rect XServer::window_rect(Window window)
{
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, window, root(), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

bool XServer::viewable(Window window)
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
}

bool XServer::has_state(Window window, const char* state_name)
{
    const Atom wanted = XInternAtom(display_, state_name, False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool held = false;
    const Atom states_atom = XInternAtom(display_, "_NET_WM_STATE", False);
    if (XGetWindowProperty(display_, window, states_atom, 0, 64, False, XA_ATOM, &type, &format, &count, &after,
                           &data) == Success &&
        type == XA_ATOM && format == 32)
    {
        const Atom* states = reinterpret_cast<Atom*>(data);
        held = std::find(states, states + count, wanted) != states + count;
    }
    if (data)
        XFree(data);
    return held;
}

Image XServer::capture(const Rect& requested)
{
    // Only what lies on the screen can be read.
    const Rect screen = screen_rect();
    Rect area{std::max(requested.x, 0), std::max(requested.y, 0), 0, 0};
    area.width = std::min(requested.x + requested.width, screen.width) - area.x;
    area.height = std::min(requested.y + requested.height, screen.height) - area.y;
    if (area.width <= 0 || area.height <= 0)
        return {};
    XImage* pixels = XGetImage(display_, root(), area.x, area.y, area.width, area.height, AllPlanes, ZPixmap);
    if (!pixels)
        fail("XGetImage failed");
    Image image{area.width, area.height, {}};
    image.rgb.resize(static_cast<size_t>(area.width) * area.height * 3);
    const int red_shift = std::countr_zero(pixels->red_mask);
    const int green_shift = std::countr_zero(pixels->green_mask);
    const int blue_shift = std::countr_zero(pixels->blue_mask);
    auto out = image.rgb.begin();
    for (int y = 0; y < area.height; ++y)
    {
        for (int x = 0; x < area.width; ++x)
        {
            const unsigned long pixel = XGetPixel(pixels, x, y);
            *out++ = static_cast<std::uint8_t>((pixel & pixels->red_mask) >> red_shift);
            *out++ = static_cast<std::uint8_t>((pixel & pixels->green_mask) >> green_shift);
            *out++ = static_cast<std::uint8_t>((pixel & pixels->blue_mask) >> blue_shift);
        }
    }
    XDestroyImage(pixels);
    return image;
}

Image XServer::wait_for_picture(const Rect& area, const Image& expected, Duration timeout)
{
    Image last;
    poll_until(timeout, [&] {
        last = capture(area);
        return last == expected;
    });
    return last;
}

Image XServer::wait_for_picture(Window window, const Image& expected, Duration timeout)
{
    Image last;
    poll_until(timeout, [&] {
        last = capture(window_rect(window));
        return last == expected;
    });
    return last;
}

void XServer::move_pointer(int x, int y)
{
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
    XSync(display_, False);
}

void XServer::move_pointer_into(Window window)
{
    const Rect area = window_rect(window);
    move_pointer(area.x + area.width / 2, area.y + area.height / 2);
}

void XServer::press_key(KeySym key, const std::vector<KeySym>& modifiers)
{
    for (KeySym modifier : modifiers)
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, modifier), True, CurrentTime);
    const KeyCode code = XKeysymToKeycode(display_, key);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    for (auto modifier = modifiers.rbegin(); modifier != modifiers.rend(); ++modifier)
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, *modifier), False, CurrentTime);
    XSync(display_, False);
}

void XServer::press_keycode(KeyCode code)
{
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
}

KeySym XServer::keysym_of(KeyCode code)
{
    return XkbKeycodeToKeysym(display_, code, 0, 0);
}

std::vector<KeyCode> XServer::plain_keycodes()
{
    int first = 0, last = 0;
    XDisplayKeycodes(display_, &first, &last);
    XModifierKeymap* modifiers = XGetModifierMapping(display_);
    const KeyCode* modifier_codes = modifiers->modifiermap;
    const KeyCode* modifier_end = modifier_codes + 8 * modifiers->max_keypermod;
    std::vector<KeyCode> codes;
    for (int code = first; code <= last; ++code)
        if (keysym_of(static_cast<KeyCode>(code)) != NoSymbol &&
            std::find(modifier_codes, modifier_end, code) == modifier_end)
            codes.push_back(static_cast<KeyCode>(code));
    XFreeModifiermap(modifiers);
    return codes;
}

bool XServer::pointer_blank()
{
    XFixesCursorImage* cursor = XFixesGetCursorImage(display_);
    if (!cursor)
        return false;
    const unsigned long* pixels = cursor->pixels;
    const bool blank = std::all_of(pixels, pixels + cursor->width * cursor->height,
                                   [](unsigned long argb) { return ((argb >> 24) & 0xff) == 0; });
    XFree(cursor);
    return blank;
}

bool XServer::answers_ping(Window window, Duration timeout)
{
    static long next_token = 1;
    const long token = next_token++;
    const Atom protocols = XInternAtom(display_, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(display_, "_NET_WM_PING", False);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(ping);
    event.xclient.data.l[1] = token;
    event.xclient.data.l[2] = static_cast<long>(window);
    XSendEvent(display_, window, False, NoEventMask, &event);
    XSync(display_, False);
    return poll_until(timeout, [&] {
        XEvent answer;
        while (XPending(display_))
        {
            XNextEvent(display_, &answer);
            if (answer.type == ClientMessage && answer.xclient.message_type == protocols &&
                static_cast<Atom>(answer.xclient.data.l[0]) == ping && answer.xclient.data.l[1] == token)
                return true;
        }
        return false;
    });
}

void XServer::request_close(Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "_NET_CLOSE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2; // the request comes from a pager or similar tool
    XSendEvent(display_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display_, False);
}

void XServer::resize(Window window, int width, int height)
{
    XResizeWindow(display_, window, width, height);
    XSync(display_, False);
}

void XServer::unmap(Window window)
{
    XUnmapWindow(display_, window);
    XSync(display_, False);
}

void XServer::map(Window window)
{
    XMapWindow(display_, window);
    XSync(display_, False);
}

Window XServer::create_cover(const Rect& area, std::uint32_t colour)
{
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = colour;
    Window cover = XCreateWindow(display_, root(), area.x, area.y, area.width, area.height, 0, CopyFromParent,
                                 InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display_, cover);
    XSync(display_, False);
    return cover;
}

void XServer::destroy(Window window)
{
    XDestroyWindow(display_, window);
    XSync(display_, False);
}

Openbox::Openbox(XServer& server)
{
    process_.emplace(
        installed_program("openbox"),
        LaunchOptions{{},
                      {{"DISPLAY", server.display_name()}, {"HOME", home_.path().string()}, {"PATH", program_path}}});
    Display* display = server.connection();
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const bool managing = poll_until(server_start_timeout, [&] {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        const bool set = XGetWindowProperty(display, server.root(), check, 0, 1, False, XA_WINDOW, &type, &format,
                                            &count, &after, &data) == Success &&
                         type == XA_WINDOW && count == 1;
        if (data)
            XFree(data);
        return set;
    });
    if (!managing)
        fail("openbox did not take the screen: " + process_->standard_error());
}

Environment x11_environment(const XServer& server, const std::filesystem::path& home,
                            const std::filesystem::path& runtime_dir)
{
    return {{"DISPLAY", server.display_name()},
            {"HOME", home.string()},
            {"XDG_RUNTIME_DIR", runtime_dir.string()},
            {"PATH", program_path},
            {"GDK_BACKEND", "x11"}};
}

// ---- Wayland ----

Weston::Weston(XServer& server, int scale) : server_(server), socket_name_("stillray-test")
{
    const Rect screen = server.screen_rect();
    process_.emplace(
        installed_program("weston"),
        LaunchOptions{{"--backend=x11-backend.so", "--idle-time=0", "--shell=desktop-shell.so",
                       "--socket=" + socket_name_, "--width=" + std::to_string(screen.width / scale),
                       "--height=" + std::to_string(screen.height / scale), "--scale=" + std::to_string(scale)},
                      {{"DISPLAY", server.display_name()},
                       {"XDG_RUNTIME_DIR", runtime_dir().string()},
                       {"HOME", home_.path().string()},
                       {"PATH", program_path}}});
    const auto socket = runtime_dir() / socket_name_;
    if (!poll_until(server_start_timeout, [&] { return std::filesystem::exists(socket); }))
        fail("weston made no socket: " + process_->standard_error());
}

void Weston::align_pointer()
{
    if (!poll_until(server_start_timeout, [&] { return !server_.capture(server_.screen_rect()).uniform(); }))
        fail("weston showed no desktop: " + process_->standard_error());
    const Rect screen = server_.screen_rect();
    server_.move_pointer(0, 0);
    server_.move_pointer(screen.width - 1, screen.height - 1);
}

Environment wayland_environment(const Weston& weston, const std::filesystem::path& home)
{
    return {{"WAYLAND_DISPLAY", weston.socket_name()},
            {"XDG_RUNTIME_DIR", weston.runtime_dir().string()},
            {"HOME", home.string()},
            {"PATH", program_path},
            {"GDK_BACKEND", "wayland"}};
}

} // namespace desktop_harness
