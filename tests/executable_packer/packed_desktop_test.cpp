// The self-unpacking file on a real desktop (Xvfb with openbox): it shows the same picture as the
// offscreen snapshot, ends with status 0 on Escape, and leaves no file in any directory it could
// write to. The GL driver's shader cache, which Mesa keeps for every program under the home's
// .cache, goes to a directory of its own: the driver's files are not the program's.
#include "desktop_harness.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

using namespace desktop_harness;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::set<fs::path> files_under(const fs::path& directory)
{
    std::set<fs::path> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory))
        found.insert(entry.path());
    return found;
}

void show_picture_and_end_on_escape(const Image& expected)
{
    XServer x(expected.width, expected.height);
    Openbox window_manager(x);
    TempDir home("home"), runtime("runtime"), temporary("tmp"), working("cwd"), driver_cache("driver-cache");
    Environment environment = x11_environment(x, home.path(), runtime.path());
    environment["TMPDIR"] = temporary.path();
    environment["MESA_SHADER_CACHE_DIR"] = driver_cache.path();
    const fs::path writable[] = {home.path(), runtime.path(), temporary.path(), working.path()};
    std::map<fs::path, std::set<fs::path>> before;
    for (const fs::path& directory : writable)
        before[directory] = files_under(directory);

    {
        Process packed(STILLRAY_PACKED, LaunchOptions{{}, environment, working.path()});
        std::optional<XWindow> window = x.find_window_of(packed.pid(), 60s);
        ASSERT_TRUE(window) << "no window; stderr: " << packed.standard_error();
        const Image shown = x.wait_for_picture(*window, expected, 90s);
        EXPECT_EQ(describe_difference(shown, expected), "");

        x.press_key(XK_Escape);
        std::optional<ExitStatus> status = packed.wait_for_exit(10s);
        ASSERT_TRUE(status) << "still running after Escape";
        EXPECT_TRUE(status->clean_exit(0)) << status->text() << "; stderr: " << packed.standard_error();
    }
    for (const fs::path& directory : writable)
        EXPECT_EQ(files_under(directory), before[directory]) << directory;
}

TEST(PackedFileOnDesktop, ShowsThePictureEndsOnEscapeAndWritesNothing)
{
    adopt_orphans();
    show_picture_and_end_on_escape(read_png(PACKED_SNAPSHOT));
    EXPECT_TRUE(leftover_children().empty()) << "processes left behind";
}

} // namespace
