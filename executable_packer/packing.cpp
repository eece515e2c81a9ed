// The self-unpacking executable (see packing.h).
#include "packing.h"

#include "elf_image.h"

#include <algorithm>
#include <cstring>

namespace executable_packer {

namespace {

constexpr std::size_t page_size = 4096;

// Adds to the little-endian value of the given width at offset, refusing a result that does not
// fit that width.
void add_at(std::vector<std::uint8_t>& stub, std::uint64_t offset, int width, std::uint64_t amount)
{
    if (offset + width > stub.size())
        throw elf::Malformed("a marked place lies outside the stub");
    std::uint64_t value = 0;
    std::memcpy(&value, stub.data() + offset, width);
    value += amount;
    if (width < 8 && value >> (8 * width) != 0)
        throw PackingError("a value does not fit its " + std::to_string(width) + "-byte place in the stub");
    std::memcpy(stub.data() + offset, &value, width);
}

std::string sizes(const PackedFile& packed)
{
    return packed.way + ": " + std::to_string(packed.bytes.size()) + " bytes (stub " +
           std::to_string(packed.stub_size) + " + payload " + std::to_string(packed.payload_size()) + ")";
}

} // namespace

std::vector<std::uint8_t> compress_payload(std::span<const std::uint8_t> program)
{
    std::vector<std::uint8_t> best;
    for (std::uint32_t lc = 0; lc <= 4; ++lc)
        for (std::uint32_t lp = 0; lc + lp <= 4; ++lp)
            for (std::uint32_t pb = 0; pb <= 4; ++pb)
            {
                std::vector<std::uint8_t> candidate =
                    support::compress_lzma(program, {lc, lp, pb, payload_dictionary_size});
                if (best.empty() || candidate.size() < best.size())
                    best = std::move(candidate);
            }
    return best;
}

PackedFile pack_with_xzcat(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> program)
{
    if (elf::read(stub).used_end != stub.size())
        throw PackingError("the stub's segments do not end at its end, where it reads the payload from");
    PackedFile packed{"xzcat", {stub.begin(), stub.end()}, stub.size()};
    std::vector<std::uint8_t> payload = compress_payload(program);
    packed.bytes.insert(packed.bytes.end(), payload.begin(), payload.end());
    return packed;
}

PackedFile pack_with_decoder(const StubObject& stub, std::span<const std::uint8_t> program,
                             const coder::ModelSet& models)
{
    std::size_t contexts = models.contexts.size();
    if (program.empty() || program.size() >= stub.symbol("output_capacity"))
        throw PackingError("the program is " + std::to_string(program.size()) + " bytes; the decoder holds 1 to " +
                           std::to_string(stub.symbol("output_capacity") - 1));
    using coder::max_contexts, coder::max_weight_shift, coder::max_count_limit;
    if (contexts == 0 || contexts > max_contexts)
        throw PackingError("the decoder takes 1 to " + std::to_string(max_contexts) + " contexts, not " +
                           std::to_string(contexts));
    if (models.weight_shift < 0 || models.weight_shift > max_weight_shift)
        throw PackingError("weight_shift " + std::to_string(models.weight_shift) + " lies outside the decoder's 0 to " +
                           std::to_string(max_weight_shift));
    if (models.count_limit < 0 || models.count_limit > max_count_limit)
        throw PackingError("count_limit " + std::to_string(models.count_limit) + " lies outside the decoder's 0 to " +
                           std::to_string(max_count_limit));

    std::vector<std::uint8_t> stream = coder::encode(program, models);
    coder::Decoded decoded = coder::decode(stream, program.size(), models);
    if (!std::ranges::equal(decoded.data, program))
        throw std::logic_error("the coder does not decode what it encoded");
    std::vector<std::uint8_t> bytes = stub.text;
    add_at(bytes, stub.symbol("patch_contexts_start"), 4, stream.size());
    add_at(bytes, stub.symbol("patch_contexts_end"), 2, stream.size() + 4 * contexts);
    add_at(bytes, stub.symbol("patch_weight_before"), 1, 4 * contexts - 4);
    add_at(bytes, stub.symbol("patch_weight_after"), 1, 4 * contexts - 4);
    add_at(bytes, stub.symbol("patch_weight_shift"), 1, models.weight_shift);
    add_at(bytes, stub.symbol("patch_count_limit"), 1, models.count_limit);
    add_at(bytes, stub.symbol("patch_output_end"), 2, program.size());
    add_at(bytes, stub.symbol("patch_output_size"), 4, program.size());
    add_at(bytes, stub.symbol("patch_final_code"), 4, decoded.final_code);

    PackedFile packed{"decoder", std::move(bytes), stub.text.size()};
    packed.bytes.insert(packed.bytes.end(), stream.begin(), stream.end());
    for (std::uint32_t context : models.contexts)
        for (int shift = 0; shift < 32; shift += 8)
            packed.bytes.push_back(static_cast<std::uint8_t>(context >> shift));

    // The stub decodes from its own mapping, one loadable segment over the whole file. Within one
    // page a cut copy still loads (the page holds file bytes; past the file's end it reads zero)
    // and fails its check; a segment beyond the file's last page would fault in the loader.
    if (packed.bytes.size() > page_size)
        throw PackingError("the decoder's file would be " + std::to_string(packed.bytes.size()) +
                           " bytes, over the page of " + std::to_string(page_size) + " it is mapped from");
    elf::Image image = elf::read(std::span(packed.bytes).first(stub.text.size()));
    if (image.segments.size() != 1 || image.segments[0].p_type != PT_LOAD || image.segments[0].p_filesz != 0)
        throw elf::Malformed("the decoding stub has not one loadable segment waiting for the file's size");
    add_at(packed.bytes, image.program_header_at(0) + offsetof(Elf64_Phdr, p_filesz), 8,
           packed.bytes.size() - image.segments[0].p_offset);
    if (elf::read(packed.bytes).used_end != packed.bytes.size())
        throw elf::Malformed("the packed file's segment does not end at its end");
    return packed;
}

const PackedFile& smaller_within(const PackedFile& a, const PackedFile& b, std::size_t size_limit)
{
    const PackedFile& smaller = b.bytes.size() < a.bytes.size() ? b : a;
    if (smaller.bytes.size() > size_limit)
        throw PackingError("packed executable would be over the limit of " + std::to_string(size_limit) +
                           " bytes: " + sizes(a) + ", " + sizes(b));
    return smaller;
}

} // namespace executable_packer
