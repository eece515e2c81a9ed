// The post-link step: keeps only what the kernel and the dynamic loader read from an executable.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Returns the executable cut after the last byte that its header, program headers or segments
// cover (dropping the section header table, section names, .comment and anything else that no
// segment maps), with the section header fields cleared. Every segment keeps its bytes and its
// place. Throws elf::Malformed for damaged input, and when the result would not read back.
std::vector<std::uint8_t> trim_executable(std::span<const std::uint8_t> linked);
