// The GL state a render leaves behind: draw_picture, the program's own render, run on the real
// driver after other code has set every piece of state it could touch to something else.
#include "fragment_text.h"
#include "shader_probe.h"
#include "vertex_text.h"

#include <map>
#include <string>
#include <vector>

namespace {

using State = std::map<std::string, std::vector<double>>;

struct Query
{
    const char* name;
    GLenum parameter;
    int count;
};

// Integer state, bindings included; the element array buffer is left out, since it belongs to
// the bound vertex array.
constexpr Query integer_state[] = {
    {"CURRENT_PROGRAM", GL_CURRENT_PROGRAM, 1},
    {"VERTEX_ARRAY_BINDING", GL_VERTEX_ARRAY_BINDING, 1},
    {"ARRAY_BUFFER_BINDING", GL_ARRAY_BUFFER_BINDING, 1},
    {"UNIFORM_BUFFER_BINDING", GL_UNIFORM_BUFFER_BINDING, 1},
    {"SHADER_STORAGE_BUFFER_BINDING", GL_SHADER_STORAGE_BUFFER_BINDING, 1},
    {"PIXEL_PACK_BUFFER_BINDING", GL_PIXEL_PACK_BUFFER_BINDING, 1},
    {"DRAW_FRAMEBUFFER_BINDING", GL_DRAW_FRAMEBUFFER_BINDING, 1},
    {"READ_FRAMEBUFFER_BINDING", GL_READ_FRAMEBUFFER_BINDING, 1},
    {"RENDERBUFFER_BINDING", GL_RENDERBUFFER_BINDING, 1},
    {"ACTIVE_TEXTURE", GL_ACTIVE_TEXTURE, 1},
    {"TEXTURE_BINDING_2D", GL_TEXTURE_BINDING_2D, 1},
    {"VIEWPORT", GL_VIEWPORT, 4},
    {"SCISSOR_BOX", GL_SCISSOR_BOX, 4},
    {"BLEND_SRC_RGB", GL_BLEND_SRC_RGB, 1},
    {"BLEND_DST_RGB", GL_BLEND_DST_RGB, 1},
    {"BLEND_SRC_ALPHA", GL_BLEND_SRC_ALPHA, 1},
    {"BLEND_DST_ALPHA", GL_BLEND_DST_ALPHA, 1},
    {"BLEND_EQUATION_RGB", GL_BLEND_EQUATION_RGB, 1},
    {"BLEND_EQUATION_ALPHA", GL_BLEND_EQUATION_ALPHA, 1},
    {"DEPTH_FUNC", GL_DEPTH_FUNC, 1},
    {"DEPTH_WRITEMASK", GL_DEPTH_WRITEMASK, 1},
    {"COLOR_WRITEMASK", GL_COLOR_WRITEMASK, 4},
    {"STENCIL_FUNC", GL_STENCIL_FUNC, 1},
    {"STENCIL_REF", GL_STENCIL_REF, 1},
    {"STENCIL_WRITEMASK", GL_STENCIL_WRITEMASK, 1},
    {"STENCIL_FAIL", GL_STENCIL_FAIL, 1},
    {"CULL_FACE_MODE", GL_CULL_FACE_MODE, 1},
    {"FRONT_FACE", GL_FRONT_FACE, 1},
    {"POLYGON_MODE", GL_POLYGON_MODE, 2},
    {"PROVOKING_VERTEX", GL_PROVOKING_VERTEX, 1},
    {"PRIMITIVE_RESTART_INDEX", GL_PRIMITIVE_RESTART_INDEX, 1},
    {"PACK_ALIGNMENT", GL_PACK_ALIGNMENT, 1},
    {"UNPACK_ALIGNMENT", GL_UNPACK_ALIGNMENT, 1},
    {"PATCH_VERTICES", GL_PATCH_VERTICES, 1},
};

constexpr Query float_state[] = {
    {"COLOR_CLEAR_VALUE", GL_COLOR_CLEAR_VALUE, 4},
    {"DEPTH_CLEAR_VALUE", GL_DEPTH_CLEAR_VALUE, 1},
    {"BLEND_COLOR", GL_BLEND_COLOR, 4},
    {"DEPTH_RANGE", GL_DEPTH_RANGE, 2},
    {"LINE_WIDTH", GL_LINE_WIDTH, 1},
    {"POINT_SIZE", GL_POINT_SIZE, 1},
    {"POLYGON_OFFSET_FACTOR", GL_POLYGON_OFFSET_FACTOR, 1},
};

constexpr Query capabilities[] = {
    {"BLEND", GL_BLEND, 1},
    {"DEPTH_TEST", GL_DEPTH_TEST, 1},
    {"SCISSOR_TEST", GL_SCISSOR_TEST, 1},
    {"STENCIL_TEST", GL_STENCIL_TEST, 1},
    {"CULL_FACE", GL_CULL_FACE, 1},
    {"POLYGON_OFFSET_FILL", GL_POLYGON_OFFSET_FILL, 1},
    {"DITHER", GL_DITHER, 1},
    {"PRIMITIVE_RESTART", GL_PRIMITIVE_RESTART, 1},
    {"MULTISAMPLE", GL_MULTISAMPLE, 1},
    {"SAMPLE_ALPHA_TO_COVERAGE", GL_SAMPLE_ALPHA_TO_COVERAGE, 1},
    {"PROGRAM_POINT_SIZE", GL_PROGRAM_POINT_SIZE, 1},
    {"DEPTH_CLAMP", GL_DEPTH_CLAMP, 1},
    {"COLOR_LOGIC_OP", GL_COLOR_LOGIC_OP, 1},
    {"FRAMEBUFFER_SRGB", GL_FRAMEBUFFER_SRGB, 1},
};

State current_state()
{
    State state;
    for (const Query& query : integer_state)
    {
        std::vector<GLint> values(query.count);
        glGetIntegerv(query.parameter, values.data());
        state[query.name].assign(values.begin(), values.end());
    }
    for (const Query& query : float_state)
    {
        std::vector<GLfloat> values(query.count);
        glGetFloatv(query.parameter, values.data());
        state[query.name].assign(values.begin(), values.end());
    }
    for (const Query& query : capabilities)
        state[query.name] = {double(glIsEnabled(query.parameter))};
    GLint attributes = 0;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &attributes);
    for (GLuint index = 0; index < GLuint(attributes); ++index)
    {
        GLfloat value[4] = {};
        glGetVertexAttribfv(index, GL_CURRENT_VERTEX_ATTRIB, value);
        state["CURRENT_VERTEX_ATTRIB " + std::to_string(index)].assign(value, value + 4);
    }
    return state;
}

GLuint linked(const char* vertex, const char* fragment)
{
    offscreen::Result<GLuint> program = offscreen::link_checked(vertex, fragment);
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
        throw std::runtime_error(failure->message);
    return std::get<GLuint>(program);
}

// Every piece of state given a value other than its default, as code sharing the context might.
void set_foreign_state()
{
    glUseProgram(linked("#version 450\nvoid main() { gl_Position = vec4(0.0); }\n",
                        "#version 450\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n"));
    GLuint vertex_array = 0;
    glGenVertexArrays(1, &vertex_array);
    glBindVertexArray(vertex_array);
    GLuint buffers[4] = {};
    glGenBuffers(4, buffers);
    glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
    glBindBuffer(GL_UNIFORM_BUFFER, buffers[1]);
    glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffers[2]);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, buffers[3]);
    for (GLuint index = 0; index < 3; ++index)
        glVertexAttrib4f(index, 2.0f + index, 3.0f, -4.0f, 5.0f);

    GLuint framebuffers[2] = {};
    glGenFramebuffers(2, framebuffers);
    GLuint renderbuffers[2] = {};
    glGenRenderbuffers(2, renderbuffers);
    for (int i = 0; i < 2; ++i)
    {
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers[i]);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, 16, 16);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers[i]);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffers[i]);
    }
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffers[0]);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffers[1]);
    glActiveTexture(GL_TEXTURE3);
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);

    glViewport(1, 2, 13, 11);
    glEnable(GL_SCISSOR_TEST);
    glScissor(2, 3, 9, 7);
    glEnable(GL_BLEND);
    glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ZERO);
    glBlendEquationSeparate(GL_FUNC_SUBTRACT, GL_MAX);
    glBlendColor(0.25f, 0.5f, 0.75f, 1.0f);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_GEQUAL);
    glDepthMask(GL_FALSE);
    glDepthRange(0.25, 0.75);
    glColorMask(GL_TRUE, GL_FALSE, GL_TRUE, GL_FALSE);
    glEnable(GL_STENCIL_TEST);
    glStencilFunc(GL_NOTEQUAL, 3, 0xff);
    glStencilMask(0x0f);
    glStencilOp(GL_INVERT, GL_KEEP, GL_KEEP);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_FRONT_AND_BACK);
    glFrontFace(GL_CW);
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glEnable(GL_POLYGON_OFFSET_FILL);
    glPolygonOffset(1.5f, 2.0f);
    glDisable(GL_DITHER);
    glEnable(GL_PRIMITIVE_RESTART);
    glPrimitiveRestartIndex(7);
    glProvokingVertex(GL_FIRST_VERTEX_CONVENTION);
    glDisable(GL_MULTISAMPLE);
    glEnable(GL_SAMPLE_ALPHA_TO_COVERAGE);
    glEnable(GL_PROGRAM_POINT_SIZE);
    glEnable(GL_DEPTH_CLAMP);
    glEnable(GL_COLOR_LOGIC_OP);
    glEnable(GL_FRAMEBUFFER_SRGB);
    glClearColor(0.1f, 0.2f, 0.3f, 0.4f);
    glClearDepth(0.5);
    glPointSize(3.0f);
    glPixelStorei(GL_PACK_ALIGNMENT, 2);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 8);
    glPatchParameteri(GL_PATCH_VERTICES, 4);
}

class DrawState : public shader_probe::DriverTest
{};

// The render sets the current program, the bound vertex array and attribute 0's current value
// to (0, 0, 0, 1), and nothing else: other code sharing the context finds its state as it left it.
TEST_F(DrawState, RenderChangesOnlyProgramVertexArrayAndAttributeZero)
{
    const GLuint program = linked(vertex_text, fragment_text);
    GLuint vertex_array = 0;
    glGenVertexArrays(1, &vertex_array);
    set_foreign_state();
    ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    State expected = current_state();
    ASSERT_EQ(expected["CURRENT_VERTEX_ATTRIB 0"], (std::vector<double>{2, 3, -4, 5}));

    draw_picture(program, vertex_array);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    expected["CURRENT_PROGRAM"] = {double(program)};
    expected["VERTEX_ARRAY_BINDING"] = {double(vertex_array)};
    expected["CURRENT_VERTEX_ATTRIB 0"] = {0, 0, 0, 1};
    const State after = current_state();
    for (const auto& [name, values] : expected)
        EXPECT_EQ(after.at(name), values) << name;
}

} // namespace
