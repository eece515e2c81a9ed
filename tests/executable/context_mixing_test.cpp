// The context-mixing coder through its reference decoder: round trips of random, empty, uniform
// and real data, the stream's length against the modelled one, the check value, and the search.
#include "context_mixing.h"
#include "file_io.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace cm = packing::context_mixing;

Bytes random_bytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

Bytes round_trip(const Bytes& data, const cm::ModelSet& models)
{
    return cm::decode(cm::encode(data, models), data.size(), models);
}

TEST(ContextMixing, RoundTripsWhateverItCodes)
{
    cm::ModelSet models = cm::default_models();
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    std::string words = "vec3 p=vec3(0,1,0);float d=length(p)-1.;vec3 q=p*2.;";
    struct Case
    {
        const char* name;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"all zeros", Bytes(3000, 0)},
        {"all 0xff", Bytes(3000, 0xff)},
        {"random", random_bytes(5000, 1)},
        {"letters", Bytes(words.begin(), words.end())},
        {"the program", program},
    };
    for (const Case& c : cases)
        EXPECT_EQ(round_trip(c.data, models), c.data) << c.name;

    // Other model sets: a single order-0 model, far contexts, the word alone, the rates' limits.
    for (cm::ModelSet other : {cm::ModelSet{{0x0}, 15, 5}, cm::ModelSet{{0x80000000, 0x1000000}, 0, 0},
                               cm::ModelSet{{0x1}, 31, 255}, cm::ModelSet{{0x0, 0x0, 0x2}, 20, 1}})
        EXPECT_EQ(round_trip(program, other), program) << other.contexts.size() << " contexts";
}

TEST(ContextMixing, StreamIsAsLongAsTheModelsPredict)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    cm::ModelSet models = cm::default_models();
    double modelled = cm::code_length(program, models);
    std::size_t stream = cm::encode(program, models).size();
    EXPECT_GE(static_cast<double>(stream), modelled);
    EXPECT_LE(static_cast<double>(stream), modelled + 5) << "the range coder adds only its last bytes";
    EXPECT_LT(stream, program.size() / 2);
    // Random data does not compress; the models cost little over its size.
    Bytes noise = random_bytes(4000, 2);
    EXPECT_LT(cm::encode(noise, models).size(), noise.size() + noise.size() / 20);
}

TEST(ContextMixing, DecodingReadsNoFurtherThanTheStream)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    cm::ModelSet models = cm::default_models();
    Bytes stream = cm::encode(program, models);
    // What follows the stream in the packed file (the contexts) must not change what it decodes to.
    Bytes followed = stream;
    followed.insert(followed.end(), 64, 0xa5);
    EXPECT_EQ(cm::decode(followed, program.size(), models), program);
    // A damaged stream decodes to something else.
    Bytes damaged = stream;
    damaged[damaged.size() / 3] ^= 0x10;
    EXPECT_NE(cm::decode(damaged, program.size(), models), program);
}

TEST(ContextMixing, CheckValueRotatesAndAddsEachByte)
{
    EXPECT_EQ(cm::check_value({}), 0u);
    EXPECT_EQ(cm::check_value(Bytes{1}), 257u);
    EXPECT_EQ(cm::check_value(Bytes{1, 2}), (257u << 5) + 258u);
    Bytes wrapping(8, 0xff);
    std::uint32_t expected = 0;
    for (int i = 0; i < 8; ++i)
        expected = ((expected << 5) | (expected >> 27)) + 511u;
    EXPECT_EQ(cm::check_value(wrapping), expected);
}

TEST(ContextMixing, SearchImprovesOnItsStartAndRepeatsItself)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    cm::ModelSet start = cm::default_models();
    cm::ModelSet found = cm::search_models(program, start, 1);
    EXPECT_LT(cm::code_length(program, found) + 4.0 * static_cast<double>(found.contexts.size()),
              cm::code_length(program, start) + 4.0 * static_cast<double>(start.contexts.size()));
    EXPECT_EQ(cm::search_models(program, start, 1), found);
    EXPECT_EQ(cm::search_models(program, start, 0), start);
}

} // namespace
