// The options the build packs the picture's fragment stage with: its compact form keeps the record
// material with its fields d, col and hit, and the colour names black, red and ground.
#pragma once

#include "shader_packer.h"

inline shader_packer::CompactOptions picture_fragment_options()
{
    return {.kept_names = {"material", "material.d", "material.col", "material.hit", "black", "red", "ground"},
            .integer_argument_functions = {"min", "max"}};
}
