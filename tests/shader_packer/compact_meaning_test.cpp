// The compact form means what the readable one does: random programs over every operator, and
// programs the packer once got wrong, drawn both ways on the GL driver down to the last bit.
#include "random_programs.h"
#include "shader_probe.h"

#include <gtest/gtest.h>

namespace {

class CompactMeaning : public shader_probe::DriverTest
{};

} // namespace

// Each draw holds a batch of programs, a row each, as compiling is what takes the time.
TEST_F(CompactMeaning, RandomProgramsDrawTheSameBits)
{
    constexpr int batches = 16, programs_per_batch = 40;
    for (int batch = 0; batch < batches; ++batch)
    {
        std::uint64_t first_seed = batch * programs_per_batch;
        std::vector<std::string> bodies;
        for (int i = 0; i < programs_per_batch; ++i)
            bodies.push_back(random_programs::body_text(random_programs::random_program(first_seed + i)));
        std::optional<std::string> found = random_programs::difference(bodies);
        EXPECT_FALSE(found) << "seeds from " << first_seed << " (row = seed - " << first_seed
                            << "; packer_differential " << first_seed << " " << programs_per_batch
                            << " prints the smallest failing program): " << *found;
    }
}

// The kept one-letter name is a letter no other name may take; a conditional as a condition
// keeps its parentheses; '&' binds tighter than '=='.
TEST_F(CompactMeaning, ProgramsOnceWrongDrawTheSameBits)
{
    for (const char* body : {
             "float value = (t * 2.0);\namount = ((value * value) + t);\n",
             "amount = ((ready ? flag : ready) ? 1.0 : 2.0);\n",
             "ready = ((count & 3) == n);\nbits = ((bits | 4u) != (mask ^ 1u)) ? 1u : 2u;\n",
         })
    {
        std::optional<std::string> found = random_programs::difference({body});
        EXPECT_FALSE(found) << body << *found;
    }
}
