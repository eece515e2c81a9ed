// The fragment stage's functions on the real GL driver, each case in its own pixel of a float
// framebuffer, against values worked out by hand or computed here independently.
#include "shader_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

using shader_probe::DriverTest;
using shader_probe::evaluate;
using shader_probe::Vec3;

struct Vec3d
{
    double x, y, z;
};

// Z turn, then Y, then X, with the signs of the picture's rotation (a positive angle turns
// the opposite way from the right-handed convention).
Vec3d rotate_xyz(Vec3d p, Vec3d a)
{
    p = {std::cos(a.z) * p.x + std::sin(a.z) * p.y, -std::sin(a.z) * p.x + std::cos(a.z) * p.y, p.z};
    p = {std::cos(a.y) * p.x - std::sin(a.y) * p.z, p.y, std::sin(a.y) * p.x + std::cos(a.y) * p.z};
    return {p.x, std::cos(a.x) * p.y + std::sin(a.x) * p.z, -std::sin(a.x) * p.y + std::cos(a.x) * p.z};
}

using shader_probe::statement_numbers;

Vec3d vec3_at(const std::vector<double>& values, std::size_t first, double sign = 1.0)
{
    return {sign * values.at(first), sign * values.at(first + 1), sign * values.at(first + 2)};
}

Vec3 colour(const std::string& name)
{
    Vec3d c = vec3_at(statement_numbers("const vec3 " + name + " ="), 0);
    return {float(c.x), float(c.y), float(c.z)};
}

double constant(const std::string& name)
{
    return statement_numbers("const float " + name + " =").at(0);
}

// The scene's numbers as the readable fragment source writes them, read when a test first asks,
// so that the expectations follow an edit of the picture. Centres are the negated offsets their
// solids are evaluated at.
struct SceneSource
{
    std::vector<double> frame_turns = statement_numbers("vec3 q = rotate_xyz(rotate_xyz(p,");
    Vec3d frame_shift = vec3_at(statement_numbers("return q + vec3("), 0);
    Vec3d eye = vec3_at(statement_numbers("vec3 eye ="), 0);
    std::vector<double> ball = statement_numbers("material ball = round_box(");
    std::vector<double> drum = statement_numbers("material drum = frustum(");
    std::vector<double> ground = statement_numbers("material ground_plane = plane(");

    // Landmarks in the scene frame: the ball's centre and radius, the drum's centre, its radius
    // and half-height with the rounding, and the height of the ground's surface (normal +Y).
    Vec3d ball_centre = vec3_at(ball, 0, -1.0);
    double ball_radius = ball.at(6);
    Vec3d drum_centre = vec3_at(drum, 0, -1.0);
    double drum_radius = std::max(drum.at(4), drum.at(5)) + drum.at(6);
    double drum_half_height = drum.at(3) + drum.at(6);
    double ground_level = -ground.at(1) - ground.at(6);

    // The grain: spheres on a lattice whose radii reach grain_reach, so that g lies between
    // -grain_reach and the lattice cell's half-diagonal grain_top; the ground takes the share
    // ground_grain of it, the ball, the stem and the slab solid_grain.
    double grain_reach = statement_numbers("float g = round_box(c,").at(3);
    double grain_top = statement_numbers("vec3 c = mod(q,").at(1) * std::sqrt(3.0);
    double ground_grain = statement_numbers("ground_plane.d = mix(ground_plane.d, g,").at(0);
    double solid_grain = statement_numbers("acc.d = mix(acc.d, g,").at(0);

    Vec3 red = colour("red");
    Vec3 ground_colour = colour("ground");
    double hit_epsilon = statement_numbers("float hit_epsilon =").at(0);
    double march_budget = constant("march_budget");
    double shadow_epsilon = constant("shadow_epsilon");
    double fade_per_unit = constant("fade_per_unit");
    double gamma_exponent = constant("gamma_exponent");
    Vec3 shadow_limits{float(constant("shadow_start")), float(constant("shadow_reach")),
                       float(constant("penumbra_sharpness"))};
};

const SceneSource& source()
{
    static const SceneSource numbers;
    return numbers;
}

Vec3d scene_rotation(Vec3d p)
{
    return rotate_xyz(rotate_xyz(p, vec3_at(source().frame_turns, 0)), vec3_at(source().frame_turns, 3));
}

// The eye-space point whose scene-frame coordinates are q: the rotation is orthonormal, so its
// inverse takes the dot products with the images of the three eye-space axes.
Vec3d eye_point(Vec3d q)
{
    Vec3d shift = source().frame_shift;
    Vec3d v{q.x - shift.x, q.y - shift.y, q.z - shift.z};
    auto along = [&](Vec3d axis) {
        Vec3d image = scene_rotation(axis);
        return image.x * v.x + image.y * v.y + image.z * v.z;
    };
    return {along({1, 0, 0}), along({0, 1, 0}), along({0, 0, 1})};
}

std::string glsl(Vec3d p)
{
    char text[96];
    std::snprintf(text, sizeof text, "vec3(%.9g, %.9g, %.9g)", p.x, p.y, p.z);
    return text;
}

void expect_vec3_near(const Vec3& actual, const Vec3& expected, float tolerance)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

// Places the scene frame's landmarks in eye space through the camera: from the eye onto the
// image plane at distance 1, laid out for 1920 x 1080: 960 pixels per unit across and
// 540 / 0.5625 up.
std::array<double, 2> projected_pixel(Vec3d q)
{
    Vec3d p = eye_point(q);
    Vec3d eye = source().eye;
    double depth = p.z - eye.z;
    return {((p.x - eye.x) / depth + 1.0) * 960.0, ((p.y - eye.y) / depth / 0.5625 + 1.0) * 540.0};
}

// The scene's distance at the ball's centre, the grain left out.
double ball_centre_distance()
{
    return -(1.0 - source().solid_grain) * source().ball_radius;
}

// A point in the scene frame far from every object, h above the ground; then two in eye space.
Vec3d over_ground(double h)
{
    return {5.0, source().ground_level + h, 5.0};
}
const Vec3d sky_point{0.0, 50.0, 0.0};   // eye space, high above the whole scene
const Vec3d deep_below{0.0, -50.0, 0.0}; // eye space, far under the ground

class DistancePrimitives : public DriverTest
{};
class Scene : public DriverTest
{};
class March : public DriverTest
{};
class Camera : public DriverTest
{};
class Shade : public DriverTest
{};
class PixelPipeline : public DriverTest
{};

TEST_F(DistancePrimitives, EdgeCasesGiveTheirExactDistances)
{
    auto r = evaluate("", {
                              // Cylinder (r1 = r2 = 0.3, h = 0.5, r = 0) on its axis at height 0: the side is 0.3 away,
                              // the caps 0.5, so -min(0.3, 0.5). With h = 0.2 the caps are nearer: -0.2.
                              "vec3(frustum(vec3(0.0), 0.5, 0.3, 0.3, 0.0, red).d)",
                              "vec3(frustum(vec3(0.0), 0.2, 0.3, 0.3, 0.0, red).d)",
                              // Lower rim of a tapered frustum (r1 0.6 at y = -h): both the cap and the side vectors
                              // vanish, leaving -r exactly.
                              "vec3(frustum(vec3(0.6, -0.5, 0.0), 0.5, 0.6, 0.4, 0.05, red).d)",
                              // Level with the upper rim (radius 0.4 at y = 0.5), 0.3 further out: the side leans out
                              // along (0.2, -1) per unit down, so the nearest point lies on the side, 0.3 / sqrt(1.04)
                              // away, its foot 0.3 * 0.2 / 1.04 down the side, within it. Then - r.
                              "vec3(frustum(vec3(0.0, 0.5, 0.7), 0.5, 0.6, 0.4, 0.05, red).d)",
                              // Round box of zero size: a sphere, 5 from (3, 0, 4), radius 1: 4.
                              "vec3(round_box(vec3(3.0, 0.0, 4.0), vec3(0.0), 1.0, red).d)",
                              // Bar of half-length 2 along X, radius 0.1: from (3, 0.5, 0) the nearest axis point is
                              // (2, 0, 0), sqrt(1.25) away.
                              "vec3(round_box(vec3(3.0, 0.5, 0.0), vec3(2.0, 0.0, 0.0), 0.1, red).d)",
                              // Tie: the second record, colour included; otherwise the nearer one.
                              "nearer(material(0.5, red, false), material(0.5, ground, false)).col",
                              "nearer(material(0.25, red, false), material(0.5, ground, false)).col",
                              // smooth_min: apart by k or more gives the plain minimum; equal gives a - k/4.
                              "vec3(smooth_min(1.0, 3.0, 2.0), smooth_min(3.0, 1.0, 0.5), smooth_min(0.7, 0.7, 0.2))",
                          });
    EXPECT_FLOAT_EQ(r[0][0], -0.3f);
    EXPECT_FLOAT_EQ(r[1][0], -0.2f);
    EXPECT_FLOAT_EQ(r[2][0], -0.05f);
    EXPECT_NEAR(r[3][0], 0.3f / std::sqrt(1.04f) - 0.05f, 1e-6f);
    EXPECT_FLOAT_EQ(r[4][0], 4.0f);
    EXPECT_NEAR(r[5][0], std::sqrt(1.25f) - 0.1f, 1e-6f);
    EXPECT_EQ(r[6], source().ground_colour);
    EXPECT_EQ(r[7], source().red);
    EXPECT_EQ(r[8][0], 1.0f);
    EXPECT_EQ(r[8][1], 1.0f);
    EXPECT_NEAR(r[8][2], 0.65f, 1e-6f);
}

TEST_F(DistancePrimitives, RotationTurnsZThenYThenXAndHashStaysInRange)
{
    auto r = evaluate(R"(
        // Smallest and largest hash over a 200 x 200 grid spanning the scene, tiny negatives
        // (where fract may round up to 1) and large coordinates.
        vec3 hash_range()
        {
            float low = 1.0;
            float high = 0.0;
            for (int i = 0; i < 200; ++i)
                for (int j = 0; j < 200; ++j)
                {
                    vec2 p = vec2(i - 100, j - 100) * vec2(0.2137, 0.1911);
                    float h = min(grain_hash(p), min(grain_hash(p * 1e-7), grain_hash(p * 1e4)));
                    float k = max(grain_hash(p), max(grain_hash(p * 1e-7), grain_hash(p * 1e4)));
                    low = min(low, h);
                    high = max(high, k);
                }
            return vec3(low, high, grain_hash(vec2(-1e-9)));
        })",
                      {
                          "rotate_xyz(vec3(0.3, -1.2, 2.5), vec3(0.0))",
                          "rotate_xyz(vec3(0.0, 1.0, 0.0), vec3(1.5707963, 0.0, 0.0))", // y' = c y, z' = -s y
                          "rotate_xyz(vec3(1.0, 0.0, 0.0), vec3(0.0, 0.0, 1.5707963))", // x' = c x, y' = -s x
                          "rotate_xyz(vec3(1.0, 0.0, 0.0), vec3(0.0, 1.5707963, 0.0))", // x' = c x, z' = s x
                          // Z does nothing, Y takes x to z, then X takes z to y; X before Y would give (0, 0, 1).
                          "rotate_xyz(vec3(1.0, 0.0, 0.0), vec3(1.5707963, 1.5707963, 0.0))",
                          // Hash of (0, 0): both fractions 0, s = 0, fract(0) = 0.
                          "vec3(grain_hash(vec2(0.0)))",
                          "vec3(grain_hash(vec2(0.25, 0.5)))",
                          "hash_range()",
                      });
    EXPECT_EQ(r[0], (Vec3{0.3f, -1.2f, 2.5f}));
    expect_vec3_near(r[1], {0.0f, 0.0f, -1.0f}, 1e-6f);
    expect_vec3_near(r[2], {0.0f, -1.0f, 0.0f}, 1e-6f);
    expect_vec3_near(r[3], {0.0f, 0.0f, 1.0f}, 1e-6f);
    expect_vec3_near(r[4], {0.0f, 1.0f, 0.0f}, 1e-6f);
    EXPECT_EQ(r[5][0], 0.0f);
    // Hash of (0.25, 0.5): a = fract(58.335) = 0.335, b = fract(425.87) = 0.87, s = a (a + 23.45)
    // + b (b + 23.45), then fract((a + s)(b + s)). The product is near 900, where float steps
    // and the float error of the fractions (times about 750) stay below 0.01.
    double a = 0.335, b = 0.87, s = a * (a + 23.45) + b * (b + 23.45);
    double product = (a + s) * (b + s);
    EXPECT_NEAR(r[6][0], product - std::floor(product), 0.01);
    Vec3 range = r[7];
    EXPECT_GE(range[0], 0.0f);
    EXPECT_LT(range[1], 1.0f);
    EXPECT_LT(range[0], 0.01f) << "the hash should spread over [0, 1)";
    EXPECT_GT(range[1], 0.99f) << "the hash should spread over [0, 1)";
    EXPECT_GE(range[2], 0.0f);
    EXPECT_LT(range[2], 1.0f);
}

TEST_F(Scene, GroundAndBallCentreAnchors)
{
    const SceneSource& scene = source();
    std::string ground = glsl(eye_point(over_ground(0.25)));
    std::string ball = glsl(eye_point(scene.ball_centre));
    auto r = evaluate("", {
                              "vec3(scene(" + ground + ").d)",
                              "scene(" + ground + ").col",
                              "vec3(scene(" + ball + ").d)",
                              "scene(" + ball + ").col",
                              "scene_frame(" + ball + ")",
                          });
    // Ground: (1 - ground_grain) * 0.25 + ground_grain * g with g between -grain_reach and
    // grain_top, plus float error from the rotation.
    double open_ground = (1.0 - scene.ground_grain) * 0.25;
    EXPECT_GE(r[0][0], open_ground - scene.ground_grain * scene.grain_reach - 1e-5);
    EXPECT_LE(r[0][0], open_ground + scene.ground_grain * scene.grain_top + 1e-5);
    EXPECT_EQ(r[1], scene.ground_colour);
    // Ball centre: (1 - solid_grain) * -radius + solid_grain * g; red.
    EXPECT_NEAR(r[2][0], ball_centre_distance(), scene.solid_grain * scene.grain_reach + 1e-5);
    EXPECT_EQ(r[3], scene.red);
    Vec3d centre = scene.ball_centre;
    expect_vec3_near(r[4], {float(centre.x), float(centre.y), float(centre.z)}, 1e-5f);
}

TEST_F(March, BudgetImmediateHitAndMiss)
{
    std::string ball = glsl(eye_point(source().ball_centre));
    auto r = evaluate(R"(
        // A march from start along dir with steps of the pixel's budget already spent.
        material march_with(vec3 start, vec3 dir, float steps)
        {
            march_pos = start;
            step_count = steps;
            return march(start, dir, 20.0);
        }
        // Its hit, the distance it moved and the steps counted after it.
        vec3 march_outcome(vec3 start, vec3 dir, float steps)
        {
            material result = march_with(start, dir, steps);
            return vec3(float(result.hit), distance(start, march_pos), step_count);
        })",
                      {
                          // Budget spent: no step, nothing moved, no hit, the initial record's distance 0.
                          "march_outcome(eye, vec3(0.0, 0.0, 1.0), march_budget)",
                          "vec3(march_with(eye, vec3(0.0, 0.0, 1.0), march_budget).d)",
                          // Inside the ball: a hit on the first sample, one step, no movement; d is the sample's.
                          "march_outcome(" + ball + ", vec3(0.0, 0.0, 1.0), 0.0)",
                          "vec3(march_with(" + ball + ", vec3(0.0, 0.0, 1.0), 0.0).d)",
                          // Up and to the left from the eye (the top-left corner's ray): nothing there, so no hit
                          // and the march ends at least 20 from the eye.
                          "march_outcome(eye, normalize(vec3(-1.0, 0.5625, 1.0)), 0.0)",
                          // One step short of the budget: the last step, the first sample where the march
                          // starts, no hit in the open, nothing moved.
                          "march_outcome(eye, vec3(0.0, 0.0, 1.0), march_budget - 1.0)",
                      });
    float budget = float(source().march_budget);
    expect_vec3_near(r[0], {0.0f, 0.0f, budget}, 0.0f);
    EXPECT_EQ(r[1][0], 0.0f);
    expect_vec3_near(r[2], {1.0f, 0.0f, 1.0f}, 0.0f);
    EXPECT_NEAR(r[3][0], ball_centre_distance(), source().solid_grain * source().grain_reach + 1e-5);
    EXPECT_EQ(r[4][0], 0.0f);
    EXPECT_GE(r[4][1], 20.0f);
    EXPECT_LT(r[4][2], budget) << "the miss should end on distance, not on the budget";
    expect_vec3_near(r[5], {0.0f, 0.0f, budget}, 0.0f);
}

// One pixel of a 1921 x 1081 float framebuffer, so that gl_FragCoord reaches (1920, 1080).
Vec3 probe_pixel(GLuint program, int x, int y)
{
    support::Image<float> image = offscreen::render<float>(program, {1921, 1081}, {x, y, 1, 1});
    return shader_probe::pixel(image, 0, 0);
}

// The pixel whose gl_FragCoord lies nearest a projected position, as GLSL.
std::string nearest_pixel(std::array<double, 2> position)
{
    return "ivec2(" + std::to_string(std::lround(position[0])) + ", " + std::to_string(std::lround(position[1])) + ")";
}

TEST_F(Camera, RaysPassThroughTheLandmarksWhereTheCameraProjectsThem)
{
    // The landmarks through the camera, worked out here from the scene frame's definition.
    Vec3d ball_centre = source().ball_centre;
    Vec3d drum_centre = source().drum_centre;
    auto ball = projected_pixel(ball_centre);
    auto drum = projected_pixel(drum_centre);

    // The shader's ray from its eye through the pixel nearest each projection: how far it passes
    // from the landmark, and how far along it the landmark lies.
    GLuint program = shader_probe::build(shader_probe::probe_source(
        "const vec3 landmarks[2] = vec3[](" + glsl(eye_point(ball_centre)) + ", " + glsl(eye_point(drum_centre)) +
        ");\nconst ivec2 pixels[2] = ivec2[](" + nearest_pixel(ball) + ", " + nearest_pixel(drum) + R"();
        void main()
        {
            vec3 landmark = landmarks[ivec2(gl_FragCoord.xy) == pixels[0] ? 0 : 1];
            frag_color = vec3(length(cross(landmark - eye, ray_dir)), dot(landmark - eye, ray_dir), 0.0);
        })"));
    // Rounded to a pixel, a ray is off by half a pixel's diagonal at most: at 960 pixels per unit
    // of the image plane at distance 1, sqrt(0.5) / 960 per unit along the ray.
    for (auto [name, position] : {std::pair{"ball", ball}, std::pair{"drum", drum}})
    {
        Vec3 ray = probe_pixel(program, int(std::lround(position[0])), int(std::lround(position[1])));
        EXPECT_LE(ray[0], std::sqrt(0.5f) / 960.0f * ray[1] + 1e-6f) << name;
    }
    glDeleteProgram(program);
}

TEST_F(Camera, ScreenMappingAndTheLandmarksHit)
{
    const SceneSource& scene = source();
    std::array<double, 2> ball = projected_pixel(scene.ball_centre);
    std::array<double, 2> drum = projected_pixel(scene.drum_centre);
    GLuint program = shader_probe::build(shader_probe::probe_source(
        "const ivec2 ball_pixel = " + nearest_pixel(ball) + ";\nconst vec3 ball_centre = " + glsl(scene.ball_centre) +
        ";\nconst vec3 drum_centre = " + glsl(scene.drum_centre) + R"(;
        void main()
        {
            ivec2 pixel = ivec2(gl_FragCoord.xy);
            material hit = march(eye, ray_dir, 20.0);
            vec3 q = scene_frame(march_pos);
            if (pixel == ivec2(960, 540))
                frag_color = ray_dir;
            else if (pixel == ivec2(1920, 1080))
                frag_color = vec3(screen_pos, ray_dir.z);
            else if (pixel == ball_pixel)  // ball: red, on its sphere
                frag_color = vec3(float(hit.hit && hit.col == red), distance(q, ball_centre), 0.0);
            else  // drum: black, within its radius of the axis and its half-height of the centre
                frag_color = vec3(float(hit.hit && hit.col == black), distance(q.xz, drum_centre.xz), q.y - drum_centre.y);
        })"));
    expect_vec3_near(probe_pixel(program, 960, 540), {0.0f, 0.0f, 1.0f}, 0.0f);
    // (1, 0.5625) and the z of normalize(1, 0.5625, 1) = 1 / sqrt(2.31640625).
    expect_vec3_near(probe_pixel(program, 1920, 1080), {1.0f, 0.5625f, 1.0f / std::sqrt(2.31640625f)}, 1e-6f);
    // The march stops once (1 - solid_grain) (r - radius) + solid_grain g < hit_epsilon, so up
    // to hit_epsilon / (1 - solid_grain) outside the sphere (the grain g moves it out by less
    // than 0.001 more).
    Vec3 on_ball = probe_pixel(program, int(std::lround(ball[0])), int(std::lround(ball[1])));
    EXPECT_EQ(on_ball[0], 1.0f);
    EXPECT_GE(on_ball[1], scene.ball_radius - 0.001);
    EXPECT_LE(on_ball[1], scene.ball_radius + scene.hit_epsilon / (1.0 - scene.solid_grain) + 0.001);
    Vec3 on_drum = probe_pixel(program, int(std::lround(drum[0])), int(std::lround(drum[1])));
    EXPECT_EQ(on_drum[0], 1.0f);
    EXPECT_LE(on_drum[1], scene.drum_radius + scene.hit_epsilon);
    EXPECT_GE(on_drum[2], -scene.drum_half_height - scene.hit_epsilon);
    EXPECT_LE(on_drum[2], scene.drum_half_height + scene.hit_epsilon);
}

// The light table: the directions before normalisation as the source writes them, and the
// colours as main fills them in, read back, since they are the scene's choice and not shade's.
struct Light
{
    Vec3d direction;
    Vec3d colour;
};

std::vector<Light> light_table()
{
    auto colours = shader_probe::run_columns(R"(
        void main()
        {
            picture_main();
            frag_color = light_color[int(gl_FragCoord.x)];
        })",
                                             3);
    std::vector<Light> lights;
    for (int k = 0; k < 3; ++k)
    {
        std::vector<double> direction = statement_numbers("light_dir[" + std::to_string(k) + "] = normalize(");
        lights.push_back({vec3_at(direction, 1), {colours[k][0], colours[k][1], colours[k][2]}}); // after k
    }
    return lights;
}

double dot(Vec3d a, Vec3d b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3d normalized(Vec3d v)
{
    double length = std::sqrt(dot(v, v));
    return {v.x / length, v.y / length, v.z / length};
}

// shade with every shadow factor 1, worked through term by term: per light the reflection
// factor a = max(0, reflect(L, n) . view), then (a * w * 0.333 + a^64 * w * 3) * colour.
Vec3 unshadowed_shade(const std::vector<Light>& lights, Vec3d n, Vec3d view, Vec3d base)
{
    Vec3d sum = base;
    for (const Light& light : lights)
    {
        Vec3d l = normalized(light.direction);
        double ln = dot(l, n);
        Vec3d reflected{l.x - 2 * ln * n.x, l.y - 2 * ln * n.y, l.z - 2 * ln * n.z};
        double a = std::max(0.0, dot(reflected, view));
        double weight = a * 0.1 * 0.333 + std::pow(a, 64.0) * 0.1 * 3.0;
        sum = {sum.x + weight * light.colour.x, sum.y + weight * light.colour.y, sum.z + weight * light.colour.z};
    }
    return {float(sum.x), float(sum.y), float(sum.z)};
}

// A GLSL constant array of 3-vectors.
std::string glsl_array(const char* name, const std::vector<Vec3d>& values)
{
    std::string list;
    for (const Vec3d& value : values)
        list += (list.empty() ? "" : ", ") + glsl(value);
    return "const vec3 " + std::string(name) + "[] = vec3[](" + list + ");\n";
}

TEST_F(Shade, ShadowsAndReflectionFactorsWeighTheLights)
{
    const SceneSource& scene = source();
    std::vector<Light> lights = light_table();
    Vec3d light_0 = normalized(lights[0].direction);
    Vec3d halfway = normalized({light_0.x, light_0.y, light_0.z - 1.0}); // between L0 and -view
    Vec3d ahead{0, 0, 1};
    Vec3d up{0, 1, 0};
    // Points whose first shadow sample towards light 0 (0.1 along it) lies e above the ground,
    // far from every object: the ground there is (1 - ground_grain) e + ground_grain g away.
    auto first_sample_above_ground = [&](double e) {
        Vec3d sample = eye_point(over_ground(e));
        return Vec3d{sample.x - 0.1 * light_0.x, sample.y - 0.1 * light_0.y, sample.z - 0.1 * light_0.z};
    };
    // Columns 0 to 3 give the three shadow factors at a point; the others shade a point with
    // a normal and a view direction. base (0.25, 0.5, 0.75) is no colour of the scene.
    std::vector<Vec3d> points{sky_point,
                              deep_below,
                              first_sample_above_ground(0.5 * scene.shadow_epsilon),
                              first_sample_above_ground(4.0 * scene.shadow_epsilon),
                              deep_below,
                              sky_point,
                              sky_point,
                              sky_point};
    std::string inputs =
        glsl_array("points", points) +
        glsl_array("normals", {ahead, ahead, ahead, ahead, {0, 0, -1}, {0, -1, 0}, halfway, {0, 0, -1}}) +
        glsl_array("views", {ahead, ahead, ahead, ahead, ahead, up, ahead, ahead});
    auto r = shader_probe::run_columns(inputs + R"(
        void main()
        {
            int i = int(gl_FragCoord.x);
            picture_main();  // fills the light table the way every pixel does
            if (i < 4)
            {
                for (int k = 0; k < 3; ++k)
                    frag_color[k] = soft_shadow(points[i], light_dir[k], 0.1, 20.0, 25.0);
            }
            else
            {
                ray_dir = views[i];
                frag_color = shade(points[i], normals[i], vec3(0.25, 0.5, 0.75), 0.1);
            }
        })",
                                       8);
    // Far above everything every shadow march runs free: 1, 1, 1. Far under the ground the
    // first sample of each is inside: 0, 0, 0.
    EXPECT_EQ(r[0], (Vec3{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(r[1], (Vec3{0.0f, 0.0f, 0.0f}));
    // Half shadow_epsilon above, the first sample lies under shadow_epsilon from the ground: full
    // shadow at once. Four times as high the march goes on: a penumbra, which the first sample
    // alone puts at 25 times its distance from the ground / 0.1 or below.
    EXPECT_EQ(r[2][0], 0.0f);
    EXPECT_GT(r[3][0], 0.0f);
    double gap = (1.0 - scene.ground_grain) * 4.0 * scene.shadow_epsilon + scene.ground_grain * scene.grain_top;
    EXPECT_LE(r[3][0], 25.0 * gap / 0.1);
    // Looking along +z with n = -view, a = L . (-view) is above 0 for all three lights; in full
    // shadow the base still comes back exactly.
    EXPECT_EQ(r[4], (Vec3{0.25f, 0.5f, 0.75f}));
    // Looking up with n = -view, a = L . (0, -1, 0) is below 0 for all three: the base exactly,
    // though nothing shadows the point.
    EXPECT_EQ(r[5], (Vec3{0.25f, 0.5f, 0.75f}));
    // n half-way between L0 and -view gives a = 1 for light 0; then as in the first case.
    expect_vec3_near(r[6], unshadowed_shade(lights, halfway, ahead, {0.25, 0.5, 0.75}), 1e-5f);
    expect_vec3_near(r[7], unshadowed_shade(lights, {0, 0, -1}, ahead, {0.25, 0.5, 0.75}), 1e-5f);
}

// shade's own shadow marches: the stage's soft_shadow behind one that notes how shade calls it.
TEST_F(Shade, MarchesOneShadowPerLightFromThePointWithItsLimits)
{
    std::string text = shader_probe::probe_source(R"(
        void main()
        {
            picture_main();  // fills the light table, and may shade: the notes start after it
            shadow_calls = 0.0;
            matching_calls = 0.0;
            shaded_point = vec3(0.0, 50.0, 0.0);
            ray_dir = vec3(0.0, 0.0, 1.0);
            shade(shaded_point, vec3(0.0, 0.0, -1.0), vec3(0.0), 0.1);
            frag_color = gl_FragCoord.x == 0.0 ? shadow_limits : vec3(shadow_calls, matching_calls, 0.0);
        })");
    text = shader_probe::replaced(text, "float soft_shadow(", "float picture_soft_shadow(");
    text = shader_probe::replaced(text, "vec3 shade(", R"(
        vec3 shaded_point;
        vec3 shadow_limits;  // t_min, t_max and k of the latest call
        float shadow_calls;
        float matching_calls;  // calls from shaded_point towards light k, k the number of calls before
        float soft_shadow(vec3 origin, vec3 dir, float t_min, float t_max, float k)
        {
            matching_calls += float(origin == shaded_point && shadow_calls < 3.0 &&
                                    dir == light_dir[min(int(shadow_calls), 2)]);
            shadow_calls += 1.0;
            shadow_limits = vec3(t_min, t_max, k);
            return picture_soft_shadow(origin, dir, t_min, t_max, k);
        }
        vec3 shade()");
    GLuint program = shader_probe::build(text);
    support::Image<float> notes = offscreen::render<float>(program, {2, 1});
    glDeleteProgram(program);
    EXPECT_EQ(shader_probe::pixel(notes, 0, 0), source().shadow_limits) << "t_min, t_max, k";
    EXPECT_EQ(shader_probe::pixel(notes, 1, 0), (Vec3{3.0f, 3.0f, 0.0f})) << "calls, and those of the expected ray";
}

TEST_F(PixelPipeline, MissFadeAndGamma)
{
    // main with the primary march starting at starts[i] along directions[i] instead of from the
    // eye; the fade still counts from the eye.
    const SceneSource& scene = source();
    Vec3d ball = eye_point(scene.ball_centre);
    Vec3d ground = eye_point(over_ground(-2.75));
    Vec3d drum = eye_point({scene.drum_centre.x + 0.1, scene.drum_centre.y, scene.drum_centre.z + 0.05});
    Vec3d ahead{0, 0, 1};
    std::string inputs = glsl_array("starts", {scene.eye, ball, ground, drum}) +
                         glsl_array("directions", {normalized({-1, 0.5625, 1}), ahead, ahead, ahead});
    auto r = shader_probe::run_columns(inputs + R"(
        void main()
        {
            int i = int(gl_FragCoord.x);
            march_pos = starts[i];
            ray_dir = directions[i];
            picture_main();
        })",
                                       4);
    // The base colour c faded by the distance of p from the eye, then c^gamma_exponent.
    auto seen = [&](const Vec3& c, Vec3d p) {
        Vec3d e = scene.eye;
        Vec3d from_eye{p.x - e.x, p.y - e.y, p.z - e.z};
        double fade = 1.0 - std::sqrt(dot(from_eye, from_eye)) * scene.fade_per_unit;
        Vec3 result;
        for (int i = 0; i < 3; ++i)
            result[i] = float(std::pow(c[i] * fade, scene.gamma_exponent));
        return result;
    };
    // The top-left corner's ray from the eye meets nothing: black, whatever the fade.
    EXPECT_EQ(r[0], (Vec3{0.0f, 0.0f, 0.0f}));
    // Inside the ball, the ground and the drum every march hits at once and every shadow march
    // is dark, so the colour is the base, faded and with the gamma; 0 stays exactly 0.
    Vec3 red = seen(scene.red, ball);
    for (int i = 0; i < 3; ++i)
    {
        if (red[i] == 0.0f)
            EXPECT_EQ(r[1][i], 0.0f) << "component " << i;
        else
            EXPECT_NEAR(r[1][i], red[i], 1e-5f) << "component " << i;
    }
    expect_vec3_near(r[2], seen(scene.ground_colour, ground), 1e-5f);
    // Black -0.015, bounced inside the drum onto black again: below zero, so 0.
    EXPECT_EQ(r[3], (Vec3{0.0f, 0.0f, 0.0f}));
}

} // namespace
