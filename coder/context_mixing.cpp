// The context-mixing coder (see context_mixing.h), step for step as executable_packer/decoder_stub.S runs it.
#include "context_mixing.h"

#include "record_file.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace coder {

namespace {

constexpr std::uint32_t hash_k = 0x2f0b4c1d;
constexpr int slot_bits = 22;
constexpr int stretch_shift = 14;

// log2 x with 23 fraction bits, less a constant: the float format's bits of an integer it holds
// exactly (below 2^24) are its exponent and the leading bits after its top one.
int log_bits(std::uint32_t x)
{
    return static_cast<int>(std::bit_cast<std::uint32_t>(static_cast<float>(x)));
}

// P(1) * 2^32 for the mixer's sum x, log2 odds with 11 fraction bits: 2^(x / 2048 + 16) as the
// float whose bits are x << 12 plus the exponent bias, truncated to an integer (exact: the
// float's value is what the bits say, and truncation has no rounding to choose), then
// e / (e + 2^16). Between 2^16 and 2^32 - 2^16.
std::uint32_t squash(int x)
{
    std::uint32_t bits = static_cast<std::uint32_t>(x) * 4096u + (143u << 23);
    auto e = static_cast<std::uint64_t>(std::bit_cast<float>(bits));
    return static_cast<std::uint32_t>((e << 32) / (e + 0x10000));
}

// -log2 of the probability the models gave the bit that came.
double bit_cost(std::uint32_t probability, int bit)
{
    double p = std::ldexp(static_cast<double>(probability), -32);
    return -std::log2(bit ? p : 1 - p);
}

// The slots, all zero as the decoder's memory starts. Tables are lent from a pool and cleared
// where the last borrower wrote, which is quicker than making or clearing a whole one for each of
// the many short texts the shader packer measures, on however many threads.
class SlotTable
{
public:
    // A table for as long as the lease lasts.
    class Lease
    {
    public:
        Lease() : table_(borrow()) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { give_back(std::move(table_)); }

        SlotTable& operator*() const { return *table_; }

    private:
        std::unique_ptr<SlotTable> table_;
    };

    std::uint32_t read(std::uint32_t index) const { return slots_[index]; }

    // The slot to write, noted for clearing if it was still clear.
    std::uint32_t& write(std::uint32_t index)
    {
        if (slots_[index] == 0)
            written_.push_back(index);
        return slots_[index];
    }

private:
    SlotTable() : slots_(std::size_t{1} << slot_bits, 0) {}

    static std::mutex& pool_lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::unique_ptr<SlotTable>>& pool()
    {
        static std::vector<std::unique_ptr<SlotTable>> tables;
        return tables;
    }

    static std::unique_ptr<SlotTable> borrow()
    {
        std::lock_guard guard(pool_lock());
        if (pool().empty())
            return std::unique_ptr<SlotTable>(new SlotTable);
        std::unique_ptr<SlotTable> table = std::move(pool().back());
        pool().pop_back();
        return table;
    }

    static void give_back(std::unique_ptr<SlotTable> table)
    {
        for (std::uint32_t index : table->written_)
            table->slots_[index] = 0;
        table->written_.clear();
        std::lock_guard guard(pool_lock());
        pool().push_back(std::move(table));
    }

    std::vector<std::uint32_t> slots_;
    std::vector<std::uint32_t> written_;
};

// The models' state between bits: slots of p ^ 0x8000 (16 bits) and a count (16 bits), one
// weight per model, and the current word's hash.
class Predictor
{
public:
    explicit Predictor(const ModelSet& models)
        : contexts_(models.contexts), weight_shift_(models.weight_shift), count_limit_(models.count_limit),
          weights_(contexts_.size()), hashes_(contexts_.size()), slot_of_(contexts_.size()), stretch_(contexts_.size())
    {}

    // Hashes each context before the partial byte: at points at the byte about to be coded,
    // with history bytes before it.
    void start_byte(const std::uint8_t* at)
    {
        for (std::size_t m = 0; m < contexts_.size(); ++m)
        {
            std::uint32_t mask = contexts_[m], hash = mask;
            if (mask & 1)
                hash ^= word_;
            for (int back = 1; back <= history; ++back)
                if (mask >> back & 1)
                    hash = (hash ^ at[-back]) * hash_k;
            hashes_[m] = hash;
        }
    }

    // P(the next bit is 1) * 2^32, for the bits so far of this byte after a leading 1.
    std::uint32_t predict(std::uint32_t partial)
    {
        std::int64_t sum = 0;
        for (std::size_t m = 0; m < contexts_.size(); ++m)
        {
            slot_of_[m] = ((hashes_[m] ^ partial) * hash_k) >> (32 - slot_bits);
            std::uint32_t p = (slots_.read(slot_of_[m]) & 0xffff) ^ 0x8000;
            stretch_[m] = (log_bits(p) - log_bits(65535 - p)) >> stretch_shift;
            sum += static_cast<std::int32_t>(static_cast<std::uint32_t>(stretch_[m]) * weights_[m]);
        }
        return squash(static_cast<int>(std::clamp<std::int64_t>(sum >> 16, -32768, 32767)));
    }

    // The weights against stretch * (p - target), and each slot's p towards the bit.
    void update(std::uint32_t probability, int bit)
    {
        int target = bit ? 65535 : 0;
        int error = static_cast<int>(probability >> 16) - target;
        for (std::size_t m = contexts_.size(); m-- > 0;)
        {
            weights_[m] -=
                static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(stretch_[m]) *
                                                                     static_cast<std::uint32_t>(error)) >>
                                           weight_shift_);
            std::uint32_t& slot = slots_.write(slot_of_[m]);
            int p = static_cast<int>((slot & 0xffff) ^ 0x8000);
            std::uint32_t count = slot >> 16;
            int step = (p - target) * 10 / static_cast<int>(3 * count + 11);
            if (count < static_cast<std::uint32_t>(count_limit_))
                ++count;
            slot = count << 16 | ((slot - static_cast<std::uint32_t>(step)) & 0xffff);
        }
    }

    void end_byte(std::uint8_t byte)
    {
        word_ = (word_ ^ byte) * hash_k;
        if (static_cast<std::uint8_t>(byte - 'a') >= 26)
            word_ = 0;
    }

private:
    const std::vector<std::uint32_t>& contexts_;
    int weight_shift_;
    int count_limit_;
    SlotTable::Lease lease_;
    SlotTable& slots_ = *lease_;
    std::vector<std::uint32_t> weights_;
    std::vector<std::uint32_t> hashes_;
    std::vector<std::uint32_t> slot_of_;
    std::vector<int> stretch_;
    std::uint32_t word_ = 0;
};

// Runs the predictor over the data, history zeros before it, calling code(probability, bit)
// for every bit.
template <class Code>
void model_bits(std::span<const std::uint8_t> data, const ModelSet& models, Code&& code)
{
    std::vector<std::uint8_t> padded(history + data.size());
    std::copy(data.begin(), data.end(), padded.begin() + history);
    Predictor predictor(models);
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        predictor.start_byte(&padded[history + i]);
        std::uint32_t partial = 1;
        for (int shift = 7; shift >= 0; --shift)
        {
            int bit = data[i] >> shift & 1;
            std::uint32_t probability = predictor.predict(partial);
            code(probability, bit);
            predictor.update(probability, bit);
            partial = partial * 2 + bit;
        }
        predictor.end_byte(data[i]);
    }
}

// LZMA's range encoder: low with its carry, the byte held back while a carry may reach it
// (cache), and the 0xff bytes after it. It starts with a range of 1, which the normalisation
// before the first bit takes to 2^24: the bytes for the value's whole part come first, and are
// dropped, since the decoder's first three bytes are its first fraction bytes.
class RangeEncoder
{
public:
    void encode(std::uint32_t probability, int bit)
    {
        while (range_ < (1u << 24))
        {
            range_ <<= 8;
            shift_low();
        }
        auto bound = static_cast<std::uint32_t>(std::uint64_t{range_} * probability >> 32);
        if (bit)
            range_ = bound;
        else
        {
            low_ += bound;
            range_ -= bound;
        }
    }

    std::vector<std::uint8_t> finish()
    {
        for (int i = 0; i < 5; ++i)
            shift_low();
        constexpr std::size_t whole_part = 5;
        if (!std::all_of(out_.begin(), out_.begin() + whole_part, [](std::uint8_t byte) { return byte == 0; }))
            throw std::logic_error("range coder: the value's whole part is not zero");
        return {out_.begin() + whole_part, out_.end()};
    }

private:
    void shift_low()
    {
        if (static_cast<std::uint32_t>(low_) < 0xff000000u || (low_ >> 32) != 0)
        {
            auto carry = static_cast<std::uint8_t>(low_ >> 32);
            for (std::uint8_t byte = cache_; pending_ > 0; --pending_, byte = 0xff)
                out_.push_back(static_cast<std::uint8_t>(byte + carry));
            cache_ = static_cast<std::uint8_t>(low_ >> 24);
        }
        ++pending_;
        low_ = (low_ & 0x00ffffff) << 8;
    }

    std::uint64_t low_ = 0;
    std::uint32_t range_ = 1;
    std::uint8_t cache_ = 0;
    std::uint64_t pending_ = 1;
    std::vector<std::uint8_t> out_;
};

// Evaluates the candidates on every core (up to 8 threads), returning their code lengths in order.
std::vector<double> code_lengths(std::span<const std::uint8_t> data, const std::vector<ModelSet>& candidates)
{
    std::vector<double> lengths(candidates.size());
    unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::jthread> threads;
    for (unsigned w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            for (std::size_t i = w; i < candidates.size(); i += workers)
                lengths[i] = code_length(data, candidates[i]);
        });
    threads.clear();
    return lengths;
}

// The best of the candidates when it improves on best by more than margin (which may be
// negative, to accept a loss); best and models are updated then.
bool take_best(std::span<const std::uint8_t> data, const std::vector<ModelSet>& candidates, double margin, double& best,
               ModelSet& models)
{
    if (candidates.empty())
        return false;
    std::vector<double> lengths = code_lengths(data, candidates);
    auto chosen = std::min_element(lengths.begin(), lengths.end());
    if (*chosen >= best - margin)
        return false;
    best = *chosen;
    models = candidates[chosen - lengths.begin()];
    return true;
}

// The models less each one of their contexts in turn; none where one is left.
std::vector<ModelSet> drops(const ModelSet& models)
{
    std::vector<ModelSet> candidates;
    for (std::size_t m = 0; m < models.contexts.size() && models.contexts.size() > 1; ++m)
    {
        candidates.push_back(models);
        candidates.back().contexts.erase(candidates.back().contexts.begin() + static_cast<std::ptrdiff_t>(m));
    }
    return candidates;
}

} // namespace

std::vector<std::uint8_t> encode(std::span<const std::uint8_t> data, const ModelSet& models)
{
    RangeEncoder encoder;
    model_bits(data, models, [&](std::uint32_t probability, int bit) { encoder.encode(probability, bit); });
    return encoder.finish();
}

Decoded decode(std::span<const std::uint8_t> stream, std::size_t size, const ModelSet& models)
{
    std::vector<std::uint8_t> padded(history + size);
    Predictor predictor(models);
    std::uint32_t range = 1, code = 0;
    std::size_t next = 0;
    for (std::size_t i = history; i < padded.size(); ++i)
    {
        predictor.start_byte(&padded[i]);
        std::uint32_t partial = 1;
        while (partial < 256)
        {
            while (range < (1u << 24))
            {
                range <<= 8;
                code = code << 8 | (next < stream.size() ? stream[next] : 0);
                ++next;
            }
            std::uint32_t probability = predictor.predict(partial);
            auto bound = static_cast<std::uint32_t>(std::uint64_t{range} * probability >> 32);
            int bit = code < bound;
            if (bit)
                range = bound;
            else
            {
                code -= bound;
                range -= bound;
            }
            predictor.update(probability, bit);
            partial = partial * 2 + bit;
        }
        padded[i] = static_cast<std::uint8_t>(partial);
        predictor.end_byte(padded[i]);
    }
    return {{padded.begin() + history, padded.end()}, code};
}

double code_length(std::span<const std::uint8_t> data, const ModelSet& models)
{
    double bits = 0;
    model_bits(data, models, [&](std::uint32_t probability, int bit) { bits += bit_cost(probability, bit); });
    return bits / 8;
}

std::vector<double> byte_costs(std::span<const std::uint8_t> data, const ModelSet& models)
{
    std::vector<double> costs(data.size());
    std::size_t bit_index = 0;
    model_bits(data, models,
               [&](std::uint32_t probability, int bit) { costs[bit_index++ / 8] += bit_cost(probability, bit); });
    return costs;
}

ModelSet default_models()
{
    return {{0x0, 0x2, 0x6, 0xe, 0x1e, 0x1, 0x100, 0x10100, 0x1010100}, 16, 24};
}

ModelSet search_models(std::span<const std::uint8_t> data, const ModelSet& start, int rounds,
                       const support::SearchObserver& observer)
{
    // What a context costs in the packed file: its 4 bytes.
    constexpr double context_cost = 4;
    static const std::uint32_t additions[] = {0x0,  0x1,  0x2,   0x3,   0x6,     0x7,       0xa,       0xe,
                                              0x1e, 0x3e, 0x100, 0x102, 0x10100, 0x1010100, 0x1000000, 0x1000002};
    ModelSet models = start;
    double best = code_length(data, models);
    // A round's steps: the rates, each context's flips, the drops, the additions.
    double steps = 0;
    auto report = [&](int round, double steps_done) {
        if (observer)
            observer({round + 1, steps_done / steps, best});
    };
    if (observer)
        observer({1, 0, best});
    for (int round = 0; round < rounds; ++round)
    {
        bool improved = false;
        steps = static_cast<double>(models.contexts.size() + 3);
        for (int ModelSet::*rate : {&ModelSet::weight_shift, &ModelSet::count_limit})
            for (int step : {-1, 1})
                for (bool moved = true; moved;)
                {
                    ModelSet candidate = models;
                    candidate.*rate += step;
                    bool valid = candidate.weight_shift >= 0 && candidate.weight_shift <= max_weight_shift &&
                                 candidate.count_limit >= 0 && candidate.count_limit <= max_count_limit;
                    moved = valid && take_best(data, {candidate}, 0, best, models);
                    improved = improved || moved;
                }
        report(round, 1);
        for (std::size_t m = 0; m < models.contexts.size(); ++m)
        {
            std::vector<ModelSet> flips;
            for (int bit = 0; bit <= history; ++bit)
            {
                flips.push_back(models);
                flips.back().contexts[m] ^= 1u << bit;
            }
            improved = take_best(data, flips, 0, best, models) || improved;
            report(round, static_cast<double>(m + 2));
        }
        while (take_best(data, drops(models), -context_cost, best, models))
            improved = true;
        report(round, steps - 1);
        std::vector<ModelSet> adds;
        for (std::uint32_t context : additions)
            if (models.contexts.size() < max_contexts &&
                std::find(models.contexts.begin(), models.contexts.end(), context) == models.contexts.end())
            {
                adds.push_back(models);
                adds.back().contexts.push_back(context);
            }
        improved = take_best(data, adds, context_cost, best, models) || improved;
        report(round, steps);
        if (!improved)
            break;
    }
    return models;
}

ModelsRecord parse_models_record(std::string_view text)
{
    std::vector<support::RecordLine> lines = support::parse_record(text);
    ModelsRecord record;
    for (const support::RecordLine& line : lines)
    {
        if (line.key == "program" && line.values.size() == 1)
            record.program = line.values[0];
        else if (line.key == "toolchain" && !line.values.empty())
            record.toolchain = support::words_of(line);
        else if (line.key == "contexts" && !line.values.empty())
            for (const std::string& value : line.values)
            {
                std::uint32_t context = 0;
                auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), context, 16);
                if (error != std::errc() || end != value.data() + value.size())
                    throw support::LineError(line.number, "a context is a 32-bit mask in hex, not '" + value + "'");
                record.models.contexts.push_back(context);
            }
        else if (line.key == "weight_shift")
            record.models.weight_shift = static_cast<int>(support::record_number(line, max_weight_shift));
        else if (line.key == "count_limit")
            record.models.count_limit = static_cast<int>(support::record_number(line, max_count_limit));
        else
            throw support::LineError(line.number, "expected 'program FINGERPRINT', 'toolchain WORDS', "
                                                  "'contexts MASK...', 'weight_shift N' or 'count_limit N'");
    }
    support::require_one_line_each(lines, {"program", "toolchain", "contexts", "weight_shift", "count_limit"});
    return record;
}

std::string models_record_text(const ModelsRecord& record)
{
    support::RecordLine contexts{0, "contexts", {}};
    for (std::uint32_t context : record.models.contexts)
    {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%x", context);
        contexts.values.push_back(hex);
    }
    return support::record_text(
        "The coder's models that `make tune` found for build/stillray; the packing step reads them back\n"
        "instead of searching. program: the program they were found for; toolchain: the compiler and\n"
        "linker that built it; contexts: one mask per model (bit 0 the word, bit j the byte j back);\n"
        "the mixer's and the slots' rates.",
        {{0, "program", {record.program}},
         support::words_line("toolchain", record.toolchain),
         contexts,
         {0, "weight_shift", {std::to_string(record.models.weight_shift)}},
         {0, "count_limit", {std::to_string(record.models.count_limit)}}});
}

} // namespace coder
