// The committed reuse records hold what the full searches find today, started from them as
// `make tune` starts them, so that a build that reads them makes the very bytes of one that
// searches. That holds on the toolchain the records name: another one makes another program, for
// which the searches find what fits it.
#include "file_io.h"
#include "process.h"
#include "record_file.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr char refresh[] = "the committed record is not what the search finds now: run `make tune` and commit it";

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> split;
    std::istringstream stream(text);
    for (std::string word; stream >> word;)
        split.push_back(word);
    return split;
}

// Runs the full name search for one stage on a copy of its record in the directory; its header
// must be the build's.
void expect_names_found_again(const fs::path& directory, const std::string& stage, const std::string& source,
                              const std::string& flags)
{
    std::vector<std::string> command = {PACK_SHADER};
    for (const std::string& flag : words(flags))
        command.push_back(flag);
    fs::path record = directory / (stage + ".names"), header = directory / (stage + ".h");
    fs::copy_file(source + ".names", record);
    command.insert(command.end(),
                   {"--names", record, "--tune", "--toolchain", TOOLCHAIN, stage + "_text", source, header});
    support::Finished searched = support::run(command);
    ASSERT_TRUE(searched.status.clean_exit()) << searched.status.text() << ": " << searched.err;
    EXPECT_EQ(support::read_text(record), support::read_text(source + ".names")) << stage << ": " << refresh;
    EXPECT_EQ(support::read_text(header), support::read_text(fs::path(GENERATED_DIR) / (stage + "_text.h")))
        << stage << ": the build's header is not the one the search makes";
}

// The words of the record's line of that key.
std::string recorded(const std::string& record, const std::string& key)
{
    for (const support::RecordLine& line : support::parse_record(support::read_text(record)))
        if (line.key == key)
            return support::words_of(line);
    return "";
}

} // namespace

TEST(ReuseRecords, HoldWhatTheFullSearchesFind)
{
    if (READABLE_SHADERS)
        GTEST_SKIP() << "this build carries the readable shader texts and packs no program";
    // Another toolchain is one that makes another program: one that names itself otherwise and
    // makes the records' program is misnamed, and would have the test skipped where it must run.
    for (const std::string record : {MODELS_RECORD, VERTEX_SOURCE ".names", FRAGMENT_SOURCE ".names"})
        if (std::string found_with = recorded(record, "toolchain"); found_with != TOOLCHAIN)
        {
            ASSERT_NE(recorded(MODELS_RECORD, "program"), support::fingerprint(support::read_text(STILLRAY_EXECUTABLE)))
                << "this build's toolchain is named " << TOOLCHAIN << ", not " << found_with << " as in " << record
                << ", and yet it makes the program the records were found for";
            GTEST_SKIP() << record << " was found with " << found_with << ", and this build's toolchain is "
                         << TOOLCHAIN << ": the searches would find what fits its program, not the record's";
        }
    support::TempDir directory("reuse-records");
    expect_names_found_again(directory.path(), "vertex", VERTEX_SOURCE, VERTEX_PACK_FLAGS);
    expect_names_found_again(directory.path(), "fragment", FRAGMENT_SOURCE, FRAGMENT_PACK_FLAGS);

    fs::path record = directory.path() / "stillray.models", packed = directory.path() / "stillray-4k";
    fs::copy_file(MODELS_RECORD, record);
    support::Finished searched =
        support::run({PACK_EXECUTABLE, "--limit", PACKED_SIZE_LIMIT, "--models", record, "--toolchain", TOOLCHAIN,
                      "--tune", SEARCH_ROUNDS, XZCAT_STUB, DECODER_STUB, STILLRAY_EXECUTABLE, packed});
    ASSERT_TRUE(searched.status.clean_exit()) << searched.status.text() << ": " << searched.err;
    EXPECT_EQ(support::read_text(record), support::read_text(MODELS_RECORD)) << refresh;
    EXPECT_TRUE(support::read_file(packed) == support::read_file(STILLRAY_PACKED))
        << "the build's stillray-4k is not the one the search makes";
}
