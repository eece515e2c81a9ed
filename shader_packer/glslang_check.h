// Checks GLSL with glslang, the Khronos reference front end, through its glslangValidator
// command: the readable stages as written and linked as one program, and the packer's compact texts.
#pragma once

#include <filesystem>
#include <ostream>
#include <span>
#include <string_view>

namespace shader_packer {

// Checks each source for the stage its extension names (.vert, .frag) as the GL driver reads it,
// then links them as one program. Every problem goes to messages as "FILE:LINE: error: MESSAGE"
// or "FILE:LINE: warning: MESSAGE" with the source line under it; a fault of the link, which has
// no line, names the files of the stages it is between. True when glslang found no error.
bool check_sources(std::span<const std::filesystem::path> sources, std::ostream& messages);

// Checks the compact text that the packer made of source, for the same stage. Where glslang
// refuses it but accepts the source, the text is written to kept and messages gets one line that
// says the packer is at fault; where it refuses the source as well, the source's errors go to
// messages as check_sources writes them. True when glslang accepts the compact text.
bool check_compact_text(const std::filesystem::path& source, std::string_view compact_text,
                        const std::filesystem::path& kept, std::ostream& messages);

} // namespace shader_packer
