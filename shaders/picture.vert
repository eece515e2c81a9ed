#version 450
// Vertex stage: four corners of clip space, drawn as one triangle strip that covers the viewport.

// Swizzles of the pair (1, -1), in strip order: lower left, lower right, upper left, upper right.
const vec2 unit = vec2(1.0, -1.0);
const vec4 corners[4] = vec4[](unit.yyxx, unit.xyxx, unit.yxxx, unit.xxxx);

void main()
{
    gl_Position = corners[gl_VertexID];
}
