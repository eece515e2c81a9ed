// stillray_bench: measures the build it belongs to. `stillray_bench texts` prints the carried
// texts (vertex, NUL, fragment); `stillray_bench report READABLE_BENCH OUTPUT` takes the readable
// build's texts from its bench, measures both pairs of texts, the executables, the launch time
// on Xvfb with openbox, both ways of packing and what the size report adds to the packing step,
// and writes the Markdown tables to OUTPUT and stdout.
#include "decimal_text.h"
#include "desktop_harness.h"
#include "file_io.h"
#include "fragment_text.h"
#include "help_option.h"
#include "offscreen.h"
#include "packing.h"
#include "png_file.h"
#include "process.h"
#include "size_report.h"
#include "vertex_text.h"

#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Measurements = std::map<std::string, std::string>;

constexpr int runs = 5;
constexpr offscreen::Size full_hd{1920, 1080};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Step>
double milliseconds(Step&& step)
{
    auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Texts
{
    std::string vertex;
    std::string fragment;
};

// Sizes of the texts and of both compressed together as the packed executable's payload.
void measure_sizes(const Texts& texts, Measurements& result)
{
    std::vector<std::uint8_t> both(texts.vertex.begin(), texts.vertex.end());
    both.insert(both.end(), texts.fragment.begin(), texts.fragment.end());
    result["vertex_bytes"] = std::to_string(texts.vertex.size());
    result["fragment_bytes"] = std::to_string(texts.fragment.size());
    result["compressed_bytes"] = std::to_string(executable_packer::compress_payload(both).size());
}

GLuint link(const Texts& texts)
{
    offscreen::Result<GLuint> linked = offscreen::link_checked(texts.vertex.c_str(), texts.fragment.c_str());
    if (auto* failure = std::get_if<offscreen::Failure>(&linked))
        throw std::runtime_error(failure->message);
    return std::get<GLuint>(linked);
}

// Medians of compile-and-link time and of full-HD frame time for both pairs of texts, their runs
// interleaved so that both see the same machine; the first frame of each, which also finishes the
// driver's shader work, is measured on its own. Returns the compact texts' picture.
support::Image<std::uint8_t> measure_speed(const Texts& compact_texts, const Texts& readable_texts,
                                           Measurements& compact, Measurements& readable)
{
    offscreen::Context context;
    if (std::optional<offscreen::Failure> failure = context.open())
        throw std::runtime_error(failure->message);
    compact["renderer"] = context.description();
    struct Variant
    {
        const Texts& texts;
        Measurements& result;
        GLuint program = 0;
        std::vector<double> link_times, frame_times;
    };
    Variant variants[] = {{compact_texts, compact}, {readable_texts, readable}};
    support::Image<std::uint8_t> frame, picture;
    for (int i = 0; i < runs; ++i)
        for (Variant& variant : variants)
            variant.link_times.push_back(milliseconds([&] { variant.program = link(variant.texts); }));
    for (Variant& variant : variants)
        variant.result["first_frame_ms"] = support::fixed_decimal(
            milliseconds([&] { frame = offscreen::render<std::uint8_t>(variant.program, full_hd); }), 1);
    picture = offscreen::render<std::uint8_t>(variants[0].program, full_hd);
    for (int i = 0; i < runs; ++i)
        for (Variant& variant : variants)
            variant.frame_times.push_back(
                milliseconds([&] { frame = offscreen::render<std::uint8_t>(variant.program, full_hd); }));
    for (Variant& variant : variants)
    {
        variant.result["link_ms"] = support::fixed_decimal(median(variant.link_times), 1);
        variant.result["frame_ms"] = support::fixed_decimal(median(variant.frame_times), 1);
    }
    return picture;
}

// The readable build's texts, as its bench prints them: vertex text, NUL, fragment text.
Texts readable_texts_from(const std::string& readable_bench)
{
    support::Process bench(readable_bench, support::LaunchOptions{{"texts"}, {}, {}});
    std::optional<support::ExitStatus> status = bench.wait_for_exit(1min);
    std::string output = bench.standard_output();
    std::size_t separator = output.find('\0');
    if (!status || !status->clean_exit() || separator == std::string::npos)
    {
        std::string how = !status                 ? "did not end within a minute"
                          : !status->clean_exit() ? "ended with " + status->text()
                                                  : "printed no vertex text, NUL and fragment text";
        std::string errors = bench.standard_error();
        throw std::runtime_error(readable_bench + " texts, the readable build's bench, " + how +
                                 (errors.empty() ? "" : ": " + errors));
    }
    return {output.substr(0, separator), output.substr(separator + 1)};
}

// Time from starting the program to its window showing the whole picture, on a fresh Xvfb with
// openbox, ended with Escape.
double launch_ms(const std::string& program, const support::Image<std::uint8_t>& picture)
{
    desktop_harness::XServer x(picture.width, picture.height);
    desktop_harness::Openbox window_manager(x);
    support::TempDir home("bench-home"), runtime("bench-runtime");
    auto start = support::Clock::now();
    support::Process launched(program, {{}, desktop_harness::x11_environment(x, home.path(), runtime.path()), {}});
    std::optional<desktop_harness::XWindow> window = x.find_window_of(launched.pid(), 60s);
    if (!window || x.wait_for_picture(*window, picture, 120s) != picture)
        throw std::runtime_error(program + " did not show the picture; stderr: " + launched.standard_error());
    double elapsed = std::chrono::duration<double, std::milli>(support::Clock::now() - start).count();
    x.press_key(XK_Escape);
    launched.wait_for_exit(10s);
    return elapsed;
}

// Medians of the launch times of the plain and the packed executable, runs interleaved.
std::pair<double, double> launch_medians(const support::Image<std::uint8_t>& picture)
{
    support::adopt_orphans();
    std::vector<double> plain, packed;
    for (int i = 0; i < runs; ++i)
    {
        plain.push_back(launch_ms(STILLRAY_EXECUTABLE, picture));
        packed.push_back(launch_ms(STILLRAY_PACKED, picture));
    }
    return {median(plain), median(packed)};
}

struct PackingWays
{
    executable_packer::PackedFile decoder, xzcat;
    double plain_ms = 0, decoder_ms = 0, xzcat_ms = 0;
};

// Both ways of packing the program as the build does them, and the medians of the time from
// starting each file to its end with no display: the toolkit gives up at once, so what the
// packed files add is their unpacking.
PackingWays measure_packing()
{
    std::vector<std::uint8_t> program = support::read_file(STILLRAY_EXECUTABLE);
    PackingWays ways{executable_packer::pack_with_decoder(
                         executable_packer::read_stub_object(support::read_file(DECODER_STUB)), program,
                         coder::parse_models_record(support::read_text(MODELS_RECORD)).models),
                     executable_packer::pack_with_xzcat(support::read_file(XZCAT_STUB), program)};
    support::TempDir directory("bench-packing");
    std::string decoder = directory.path() / "decoder", xzcat = directory.path() / "xzcat";
    support::write_file_atomically(decoder, ways.decoder.bytes, {.mode = 0755});
    support::write_file_atomically(xzcat, ways.xzcat.bytes, {.mode = 0755});
    auto start_to_end = [](const std::string& path) {
        return milliseconds([&] { support::run({"/usr/bin/env", "-i", path}); });
    };
    std::vector<double> plain, decoded, unpacked_by_xzcat;
    for (int i = 0; i < runs; ++i)
    {
        plain.push_back(start_to_end(STILLRAY_EXECUTABLE));
        decoded.push_back(start_to_end(decoder));
        unpacked_by_xzcat.push_back(start_to_end(xzcat));
    }
    ways.plain_ms = median(plain);
    ways.decoder_ms = median(decoded);
    ways.xzcat_ms = median(unpacked_by_xzcat);
    return ways;
}

// The median time of what the size report adds to the packing step: one pass of the coder over
// the program, the page and the picture, both written.
double size_report_ms()
{
    std::vector<std::uint8_t> program = support::read_file(STILLRAY_EXECUTABLE),
                              linked = support::read_file(STILLRAY_LINKED);
    coder::ModelSet models = coder::parse_models_record(support::read_text(MODELS_RECORD)).models;
    std::vector<executable_packer::size_report::ShaderSource> shaders = {
        executable_packer::size_report::read_shader_source(VERTEX_LINES),
        executable_packer::size_report::read_shader_source(FRAGMENT_LINES)};
    support::TempDir directory("bench-size-report");
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(milliseconds([&] {
            executable_packer::size_report::SizeReport report =
                executable_packer::size_report::measure(program, linked, models, shaders);
            support::write_file_atomically(directory.path() / "size-report.html",
                                           executable_packer::size_report::page(report));
            support::write_png(directory.path() / "size-map.png", executable_packer::size_report::picture(report));
        }));
    return median(times);
}

std::string packing_rows(const PackingWays& ways)
{
    std::ostringstream rows;
    for (const executable_packer::PackedFile* way : {&ways.decoder, &ways.xzcat})
    {
        double ms = way == &ways.decoder ? ways.decoder_ms : ways.xzcat_ms;
        rows << "| " << way->way << " | " << way->stub_size << " | " << way->payload_size() << " | "
             << way->bytes.size() << " | " << support::fixed_decimal(ms - ways.plain_ms, 1) << " |\n";
    }
    return rows.str();
}

std::string report(const std::string& readable_bench)
{
    Texts compact_texts{vertex_text, fragment_text}, readable_texts = readable_texts_from(readable_bench);
    Measurements compact, readable;
    measure_sizes(compact_texts, compact);
    measure_sizes(readable_texts, readable);
    support::Image<std::uint8_t> picture = measure_speed(compact_texts, readable_texts, compact, readable);
    auto [plain_launch, packed_launch] = launch_medians(picture);
    PackingWays ways = measure_packing();
    double report_ms = size_report_ms();
    auto size = [](const char* path) { return std::to_string(std::filesystem::file_size(path)); };
    double frame_ratio = std::stod(compact["frame_ms"]) / std::stod(readable["frame_ms"]);

    std::ostringstream table;
    table << "# Benchmarks\n\n"
          << "Generated by `make bench` (release build). Measured on " << compact["renderer"] << ".\n"
          << "Times are medians of " << runs << " runs; frames are 1920x1080, rendered offscreen by the\n"
          << "snapshot's renderer from the texts each build carries.\n\n"
          << "| Measure | Compact texts | Readable texts | Goal |\n"
          << "|---|---:|---:|---|\n"
          << "| Fragment text, bytes | " << compact["fragment_bytes"] << " | " << readable["fragment_bytes"] << " | |\n"
          << "| Vertex text, bytes | " << compact["vertex_bytes"] << " | " << readable["vertex_bytes"] << " | |\n"
          << "| Both texts as one .lzma stream, as the xzcat way packs, bytes | " << compact["compressed_bytes"]
          << " | " << readable["compressed_bytes"] << " | |\n"
          << "| Shader compile and link, ms | " << compact["link_ms"] << " | " << readable["link_ms"] << " | |\n"
          << "| First frame (with the driver's code generation), ms | " << compact["first_frame_ms"] << " | "
          << readable["first_frame_ms"] << " | |\n"
          << "| Frame, ms | " << compact["frame_ms"] << " | " << readable["frame_ms"] << " | |\n"
          << "| Frame time, compact / readable | " << support::fixed_decimal(frame_ratio, 2) << " | | <= 1.02 |\n"
          << "| Plain executable `stillray`, bytes | " << size(STILLRAY_EXECUTABLE) << " | | <= 6144 |\n"
          << "| Packed executable `stillray-4k`, bytes | " << size(STILLRAY_PACKED)
          << " | | <= 2400, moonshot 2300 (limit 4096) |\n"
          << "| Launch to first whole picture, `stillray`, ms | " << support::fixed_decimal(plain_launch, 0)
          << " | | |\n"
          << "| Launch to first whole picture, `stillray-4k`, ms | " << support::fixed_decimal(packed_launch, 0)
          << " | | |\n\n"
          << "Launch times: Xvfb 1920x1080 with openbox, a fresh server per run, from starting the\n"
          << "program until its window shows exactly the offscreen picture.\n\n"
          << "## The two ways of packing\n\n"
          << "The build packs the program both ways and ships the smaller. Unpacking: the median time from\n"
          << "starting the packed file to its end with no display, less the same for `stillray`. Goal\n"
          << "for the decoder's way: unpacking within 150 ms.\n\n"
          << "| Way | Stub, bytes | Payload, bytes | Total, bytes | Unpacking, ms |\n"
          << "|---|---:|---:|---:|---:|\n"
          << packing_rows(ways) << "\n"
          << "The size report that the packing step writes (one pass of the coder over `stillray`, the page\n"
          << "and the picture) adds " << support::fixed_decimal(report_ms, 0)
          << " ms to it; the goal is at most 1000 ms.\n";
    return table.str();
}

constexpr char usage[] = "usage: stillray_bench texts | stillray_bench report READABLE_BENCH OUTPUT";

} // namespace

int main(int argc, char** argv)
{
    if (support::answered_help(argc, argv, usage))
        return 0;
    try
    {
        std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "texts" && argc == 2)
        {
            std::fwrite(vertex_text, 1, sizeof vertex_text, stdout);
            std::fputs(fragment_text, stdout);
            return 0;
        }
        if (mode == "report" && argc == 4)
        {
            std::string table = report(argv[2]);
            support::write_file_atomically(argv[3], table);
            std::fputs(table.c_str(), stdout);
            return 0;
        }
        std::string wrong = mode == "texts" || mode == "report"
                                ? mode + " takes " + (mode == "texts" ? "no more arguments" : "READABLE_BENCH OUTPUT") +
                                      ", not " + std::to_string(argc - 2)
                                : "'" + mode + "' is no mode, texts or report";
        std::fprintf(stderr, "stillray_bench: %s\n%s\n", wrong.c_str(), usage);
        return 2;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "stillray_bench: %s\n", error.what());
        return 1;
    }
}
