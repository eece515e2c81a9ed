// End-to-end harness: processes in groups of their own with deadlines, Xvfb and openbox through
// Xlib, XTest and XFixes, Weston nested in Xvfb, PNG files through libpng.
#include "desktop_harness.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace desktop {

namespace {

using namespace std::chrono_literals;

constexpr auto poll_interval = 10ms;
constexpr auto server_start_timeout = 30s;
constexpr auto end_timeout = 5s;
constexpr const char* program_path = "/usr/bin:/bin";

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

std::string read_file(const std::filesystem::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// The full path of an installed program, looked up in the PATH that clients are given.
std::filesystem::path installed_program(const std::string& name)
{
    std::istringstream directories(program_path);
    for (std::string directory; std::getline(directories, directory, ':');)
    {
        std::filesystem::path candidate = std::filesystem::path(directory) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    fail(name + " is not installed");
}

int milliseconds_left(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// A window that vanishes between two requests is no failure of the test's own; Xlib's default
// handler would end the test process on it.
int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

bool poll_until(Duration timeout, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + timeout;
    for (;;)
    {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll_interval);
    }
}

// ---- Pictures ----

Image Image::region(int x, int y, int block_width, int block_height) const
{
    if (x < 0 || y < 0 || block_width < 0 || block_height < 0 || x + block_width > width || y + block_height > height)
        fail("region outside the image");
    Image block{block_width, block_height, {}};
    block.rgb.reserve(static_cast<size_t>(block_width) * block_height * 3);
    for (int row = y; row < y + block_height; ++row)
    {
        auto start = rgb.begin() + (static_cast<ptrdiff_t>(row) * width + x) * 3;
        block.rgb.insert(block.rgb.end(), start, start + block_width * 3);
    }
    return block;
}

Image Image::lower_left(int block_width, int block_height) const
{
    return region(0, height - block_height, block_width, block_height);
}

bool Image::uniform() const
{
    for (size_t i = 3; i < rgb.size(); ++i)
        if (rgb[i] != rgb[i % 3])
            return false;
    return true;
}

Image read_png(const std::filesystem::path& file)
{
    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&header, file.c_str()))
        fail("cannot read " + file.string() + ": " + header.message);
    // Read as RGBA, which leaves 8-bit RGB and RGBA files untouched (no alpha compositing and
    // no gamma step), then drop the alpha.
    header.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(header));
    if (!png_image_finish_read(&header, nullptr, rgba.data(), 0, nullptr))
        fail("cannot decode " + file.string() + ": " + header.message);
    Image image{static_cast<int>(header.width), static_cast<int>(header.height), {}};
    image.rgb.reserve(rgba.size() / 4 * 3);
    for (size_t i = 0; i < rgba.size(); i += 4)
        image.rgb.insert(image.rgb.end(), rgba.begin() + i, rgba.begin() + i + 3);
    return image;
}

void write_png(const std::filesystem::path& file, const Image& image)
{
    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    header.width = image.width;
    header.height = image.height;
    header.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&header, file.c_str(), 0, image.rgb.data(), 0, nullptr))
        fail("cannot write " + file.string() + ": " + header.message);
}

std::string describe_difference(const Image& actual, const Image& expected)
{
    std::ostringstream text;
    if (actual.width != expected.width || actual.height != expected.height)
    {
        text << "size " << actual.width << "x" << actual.height << ", expected " << expected.width << "x"
             << expected.height;
        return text.str();
    }
    size_t differing = 0;
    size_t first = 0;
    for (size_t pixel = 0; pixel * 3 < actual.rgb.size(); ++pixel)
    {
        if (std::equal(actual.rgb.begin() + pixel * 3, actual.rgb.begin() + pixel * 3 + 3,
                       expected.rgb.begin() + pixel * 3))
            continue;
        if (differing++ == 0)
            first = pixel;
    }
    if (differing == 0)
        return {};
    auto colour = [](const Image& image, size_t pixel) {
        std::ostringstream rgb;
        rgb << "(" << int(image.rgb[pixel * 3]) << ", " << int(image.rgb[pixel * 3 + 1]) << ", "
            << int(image.rgb[pixel * 3 + 2]) << ")";
        return rgb.str();
    };
    text << differing << " of " << actual.rgb.size() / 3 << " pixels differ; the first at (" << first % actual.width
         << ", " << first / actual.width << ") from the top left is " << colour(actual, first) << ", expected "
         << colour(expected, first);
    return text.str();
}

// ---- Processes ----

TempDir::TempDir(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        fail_errno("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ExitStatus ExitStatus::from_wait_status(int status)
{
    if (WIFEXITED(status))
        return {true, WEXITSTATUS(status), 0};
    return {false, 0, WTERMSIG(status)};
}

std::string ExitStatus::text() const
{
    if (exited)
        return "exit status " + std::to_string(code);
    return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

void adopt_orphans()
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        fail_errno("PR_SET_CHILD_SUBREAPER");
}

std::vector<std::string> leftover_children()
{
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = read_file(entry.path() / "stat");
        const auto name_end = stat.rfind(')');
        if (name_end == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(name_end + 2));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent != getpid())
            continue;
        const pid_t pid = std::stoi(name);
        if (state != 'Z')
        {
            left.push_back(name + " " + stat.substr(stat.find('('), name_end - stat.find('(') + 1));
            kill(pid, SIGKILL);
        }
        waitpid(pid, nullptr, 0);
    }
    return left;
}

Process::Process(const std::filesystem::path& program, LaunchOptions options)
{
    std::vector<std::string> arguments{program.string()};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (const auto& [name, value] : options.environment)
        variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output = open((output_dir_.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int error = open((output_dir_.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (input < 0 || output < 0 || error < 0)
        fail_errno("opening the child's standard streams");
    const char* directory = options.working_directory.empty() ? nullptr : options.working_directory.c_str();

    pid_ = fork();
    if (pid_ < 0)
        fail_errno("fork");
    if (pid_ == 0)
    {
        // Only async-signal-safe calls from here to execve.
        setpgid(0, 0);
        dup2(input, 0);
        dup2(output, 1);
        dup2(error, 2);
        syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        if (options.inherited_fd >= 0)
            fcntl(options.inherited_fd, F_SETFD, 0);
        if (directory && chdir(directory) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    close(input);
    close(output);
    close(error);
}

Process::~Process()
{
    try
    {
        end();
    }
    catch (const std::exception&)
    {
        // A destructor cannot report it; the group is at least sent SIGKILL.
        kill(-pid_, SIGKILL);
    }
}

bool Process::running()
{
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = ExitStatus::from_wait_status(status);
    return !status_;
}

std::optional<ExitStatus> Process::wait_for_exit(Duration deadline)
{
    const auto end = Clock::now() + deadline;
    if (status_)
        return status_;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0)
        fail_errno("pidfd_open");
    pollfd ready{pidfd, POLLIN, 0};
    int polled;
    while ((polled = poll(&ready, 1, milliseconds_left(end))) < 0 && errno == EINTR)
    {}
    close(pidfd);
    int status = 0;
    if (polled > 0 && waitpid(pid_, &status, 0) == pid_)
        status_ = ExitStatus::from_wait_status(status);
    return status_;
}

ExitStatus Process::end(int signal)
{
    if (!status_)
    {
        kill(-pid_, signal);
        if (!wait_for_exit(end_timeout))
        {
            kill(-pid_, SIGKILL);
            wait_for_exit(end_timeout);
        }
    }
    reap_group(end_timeout);
    if (!status_)
        fail("process " + std::to_string(pid_) + " did not end on SIGKILL");
    return *status_;
}

void Process::reap_group(Duration deadline)
{
    // Members the leader left behind, killed; those that were its children are the test's
    // own now (adopt_orphans), so they are reaped here rather than left as zombies.
    kill(-pid_, SIGKILL);
    poll_until(deadline, [this] {
        while (waitpid(-pid_, nullptr, WNOHANG) > 0)
        {}
        return kill(-pid_, 0) != 0;
    });
}

std::string Process::standard_output() const
{
    return read_file(output_dir_.path() / "stdout");
}

std::string Process::standard_error() const
{
    return read_file(output_dir_.path() / "stderr");
}

long Process::resident_kib() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

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
        if (poll(&ready, 1, milliseconds_left(deadline)) <= 0 || read(display_pipe[0], &c, 1) != 1)
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

} // namespace desktop
