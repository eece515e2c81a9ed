// GL set-up and drawing of the picture, shared by the program and the offscreen snapshot.
// Calls GL entry points by name from libGL; checks nothing.
#pragma once

#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>

// Compiles the fragment stage, then the vertex stage, and links them vertex first into a new
// program. sources[0] is the vertex text, sources[1] the fragment text, both NUL-terminated.
inline GLuint link_picture_program(const char* const sources[2])
{
    GLuint fragment = glCreateShader(GL_FRAGMENT_SHADER);
    glShaderSource(fragment, 1, &sources[1], nullptr);
    glCompileShader(fragment);
    GLuint vertex = glCreateShader(GL_VERTEX_SHADER);
    glShaderSource(vertex, 1, &sources[0], nullptr);
    glCompileShader(vertex);
    GLuint program = glCreateProgram();
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    glLinkProgram(program);
    return program;
}

// One render: four vertices as a triangle strip over the whole viewport. Attribute 0 is set
// though no stage reads it.
inline void draw_picture(GLuint program, GLuint vertex_array)
{
    glUseProgram(program);
    glBindVertexArray(vertex_array);
    glVertexAttrib1f(0, 0.0f);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
}
