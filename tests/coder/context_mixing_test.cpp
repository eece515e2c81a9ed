// The context-mixing coder through its reference decoder: round trips of random, empty, uniform
// and real data, the stream's length against the modelled one, the final code that checks the
// stream, and the search.
#include "context_mixing.h"
#include "file_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

Bytes round_trip(const Bytes& data, const coder::ModelSet& models)
{
    return coder::decode(coder::encode(data, models), data.size(), models).data;
}

// The largest values a record may hold are read back, not refused.
TEST(ContextMixing, RecordReadsBackItsLargestValues)
{
    coder::ModelsRecord record{"0123456789abcdef", "gcc-1 ld-1", {{0xffffffff, 1}, 31, 255}};
    EXPECT_EQ(coder::parse_models_record(coder::models_record_text(record)), record);
}

TEST(ContextMixing, RoundTripsWhateverItCodes)
{
    coder::ModelSet models = coder::default_models();
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
    for (coder::ModelSet other : {coder::ModelSet{{0x0}, 15, 5}, coder::ModelSet{{0x80000000, 0x1000000}, 0, 0},
                                  coder::ModelSet{{0x1}, 31, 255}, coder::ModelSet{{0x0, 0x0, 0x2}, 20, 1}})
        EXPECT_EQ(round_trip(program, other), program) << other.contexts.size() << " contexts";
}

TEST(ContextMixing, StreamIsAsLongAsTheModelsPredict)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = coder::default_models();
    double modelled = coder::code_length(program, models);
    std::size_t stream = coder::encode(program, models).size();
    EXPECT_GE(static_cast<double>(stream), modelled);
    EXPECT_LE(static_cast<double>(stream), modelled + 5) << "the range coder adds only its last bytes";
    EXPECT_LT(stream, program.size() / 2);
    // Random data does not compress; the models cost little over its size.
    Bytes noise = random_bytes(4000, 2);
    EXPECT_LT(coder::encode(noise, models).size(), noise.size() + noise.size() / 20);
}

TEST(ContextMixing, DecodingReadsNoFurtherThanTheStream)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = coder::default_models();
    Bytes stream = coder::encode(program, models);
    coder::Decoded decoded = coder::decode(stream, program.size(), models);
    // What follows the stream in the packed file (the contexts) changes neither the data nor the
    // final code.
    Bytes followed = stream;
    followed.insert(followed.end(), 64, 0xa5);
    EXPECT_EQ(coder::decode(followed, program.size(), models), decoded);
    EXPECT_EQ(decoded.data, program);
}

// The final code is the stub's check: a damaged stream byte that the decoder reads shows in it,
// one of the last too, which code only the program's last bits and may leave the data as it
// was; a stream cut short ends with another code.
TEST(ContextMixing, FinalCodeTellsEveryByteReadAndACut)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = coder::default_models();
    Bytes stream = coder::encode(program, models);
    coder::Decoded decoded = coder::decode(stream, program.size(), models);
    std::vector<std::size_t> places;
    for (std::size_t at = 0; at < stream.size() - 16; at += 61)
        places.push_back(at);
    for (std::size_t at = stream.size() - 16; at < stream.size(); ++at)
        places.push_back(at);
    int unread = 0;
    for (std::size_t at : places)
        for (std::uint8_t flip : {0x01, 0x80})
        {
            Bytes damaged = stream;
            damaged[at] ^= flip;
            coder::Decoded other = coder::decode(damaged, program.size(), models);
            if (other == decoded)
                ++unread;
            else
                EXPECT_NE(other.final_code, decoded.final_code) << "a flip at " << at << " of " << stream.size();
        }
    EXPECT_LE(unread, 2) << "only the stream's last byte may lie beyond what the decoder reads";
    for (std::size_t size : {stream.size() - 1, stream.size() - 2, stream.size() / 2})
        EXPECT_NE(coder::decode(std::span(stream).first(size), program.size(), models).final_code, decoded.final_code)
            << "cut to " << size;
}

TEST(ContextMixing, SearchImprovesOnItsStartAndRepeatsItself)
{
    Bytes program = support::read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet start = coder::default_models();
    coder::ModelSet found = coder::search_models(program, start, 1);
    EXPECT_LT(coder::code_length(program, found) + 4.0 * static_cast<double>(found.contexts.size()),
              coder::code_length(program, start) + 4.0 * static_cast<double>(start.contexts.size()));
    std::vector<support::SearchStep> steps;
    EXPECT_EQ(coder::search_models(program, start, 1, [&](const support::SearchStep& step) { steps.push_back(step); }),
              found);
    EXPECT_EQ(coder::search_models(program, start, 0), start);
    // On incompressible data no context saves the 4 bytes it costs: all but the one the decoder
    // needs are dropped.
    EXPECT_EQ(coder::search_models(random_bytes(4000, 3), start, 1).contexts.size(), 1u);
    // The first step at the start's size, then the round's share done growing by one of its equal
    // steps at a time to 1 at its end: the rates, each context's flips, the drops, the additions.
    ASSERT_EQ(steps.size(), start.contexts.size() + 4);
    EXPECT_TRUE(steps[0].round == 1 && steps[0].done == 0 && steps[0].best == coder::code_length(program, start));
    for (std::size_t i = 1; i < steps.size(); ++i)
        EXPECT_TRUE(steps[i].round == 1 && std::abs(steps[i].done - double(i) / double(steps.size() - 1)) < 1e-9) << i;
}

} // namespace
