// The post-link step: keeps only what the kernel and the dynamic loader read from an executable.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace executable_packer {

// Returns the executable with only the bytes the kernel and the loader read, every one at its
// place and address:
// - cut after the last byte that its header, program headers or segments cover (dropping the
//   section header table, section names, .comment and anything else no segment maps), with the
//   section header fields cleared;
// - the dynamic section cut after its first DT_NULL, and without the DT_DEBUG entry (a slot
//   for debuggers that the loader fills and never reads) and the DT_SYMENT entry (the loader
//   knows the 24-byte symbol size), and without the DT_GNU_HASH entry when its table lists no
//   symbol (the table's bytes are zeroed); the entries after them move up;
// - each undefined dynamic symbol of no type typed as a function, which it is to the loader;
// - the zero bytes at the end of the last loadable segment left to memory only: its file size
//   shrinks, its memory size stays, and the kernel zero-fills memory past a segment's file bytes.
//   No other segment's bytes and no program header are cut.
// Throws elf::Malformed for damaged input, and when the result would not read back.
std::vector<std::uint8_t> trim_executable(std::span<const std::uint8_t> linked);

} // namespace executable_packer
