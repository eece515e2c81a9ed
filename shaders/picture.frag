#version 450
// Fragment stage: ray marches a fixed scene of signed-distance solids, one pixel at a time.
// Red ball on a tapered stem over a black stepped base, a rounded slab with two red discs,
// a wavy cable and a grey ground, lit by three coloured lights with soft shadows.

// Every distance function returns one of these; only march sets hit.
struct material
{
    float d;   // signed distance, negative inside
    vec3 col;  // linear base colour
    bool hit;  // the march came within hit_epsilon
};

// Black lies below zero: an unlit black surface ends at 0 after gamma, and exact equality
// with black marks a surface as a mirror.
const vec3 black = vec3(-0.015);
const vec3 red = vec3(0.4, 0.0, 0.0);
const vec3 ground = vec3(0.03);

// Limits of the marches, the shadows and the bounce, in scene units unless said otherwise.
const float march_budget = 80.0;       // steps for all the marches of one pixel together
const float far_distance = 20.0;       // reach of the primary ray
const float shadow_epsilon = 0.001;    // a shadow sample this near a surface is in full shadow
const float shadow_start = 0.1;        // first shadow sample along the light, from the surface
const float shadow_reach = 20.0;       // no occluder further along the light counts
const float penumbra_sharpness = 25.0; // k of soft_shadow: larger, narrower penumbrae
const float normal_step = 0.005;       // backward-difference step of surface_normal
const float highlight_weight = 0.1;    // w of shade: strength of both highlight terms
const float bounce_step_back = 0.01;   // towards the eye before a mirror bounce
const float bounce_reach = 2.5;        // reach of the reflected ray
const float bounce_weight = 0.1;       // share of the reflected surface in a mirror's colour
const float fade_per_unit = 0.05;      // fade with distance from the eye: black at 20 units
const float gamma_exponent = 0.4545;   // display gamma, as the picture was made: not 1 / 2.2

// Per-pixel state. The picture is laid out for 1920x1080 whatever the framebuffer's size:
// a larger one shows more at the right and top, a smaller one only the lower-left part.
vec2 reference_resolution = vec2(1920.0, 1080.0);
vec2 screen_pos = (gl_FragCoord.xy / reference_resolution * 2.0 - 1.0)
                * vec2(1.0, reference_resolution.y / reference_resolution.x);
float hit_epsilon = 0.01;
vec3 eye = vec3(0.0, 0.0, -6.0);
vec3 ray_dir = normalize(vec3(screen_pos, 1.0));  // image plane at 1: 90 degrees across
vec3 march_pos = eye;
float step_count = 0.0;  // steps taken by every march of this pixel together
vec3 light_dir[3];       // towards each light, in eye space
vec3 light_color[3];

out vec3 frag_color;

float dot2(vec2 v)
{
    return dot(v, v);
}

// Pseudo-random value in [0, 1) for the surface grain.
float grain_hash(vec2 p)
{
    p = fract(p * vec2(233.34, 851.74));
    p += dot(p, p + 23.45);
    return fract(p.x * p.y);
}

// Turns p about Z by a.z, then Y by a.y, then X by a.x (Rx Ry Rz p). A positive angle turns
// the opposite way from the right-handed convention.
vec3 rotate_xyz(vec3 p, vec3 a)
{
    vec3 c = cos(a);
    vec3 s = sin(a);
    p.xy = vec2(c.z * p.x + s.z * p.y, c.z * p.y - s.z * p.x);
    p.xz = vec2(c.y * p.x - s.y * p.z, s.y * p.x + c.y * p.z);
    p.yz = vec2(c.x * p.y + s.x * p.z, c.x * p.z - s.x * p.y);
    return p;
}

// Exact distance to a cone frustum about Y: flat ends at y = -h and y = h with radius r1 below
// and r2 above, grown by r so that every edge is rounded with radius r.
material frustum(vec3 p, float h, float r1, float r2, float r, vec3 col)
{
    vec2 q = vec2(length(p.xz), p.y);
    vec2 k1 = vec2(r2, h);
    vec2 k2 = vec2(r2 - r1, 2.0 * h);
    vec2 ca = vec2(q.x - min(q.x, q.y < 0.0 ? r1 : r2), abs(q.y) - h);  // to the nearer cap
    vec2 cb = q - k1 + k2 * clamp(dot(k1 - q, k2) / dot2(k2), 0.0, 1.0);  // to the side
    float inside = cb.x < 0.0 && ca.y < 0.0 ? -1.0 : 1.0;
    return material(inside * sqrt(min(dot2(ca), dot2(cb))) - r, col, false);
}

// Box of half-size b grown by r. A zero b gives a sphere of radius r; b = (L, 0, 0) a segment
// of half-length L along X thickened to radius r.
material round_box(vec3 p, vec3 b, float r, vec3 col)
{
    vec3 q = abs(p) - b;
    return material(length(max(q, 0.0)) + min(max(q.x, max(q.y, q.z)), 0.0) - r, col, false);
}

// Half-space below the plane p . n + o = 0, for a unit normal n.
material plane(vec3 p, vec3 n, float o, vec3 col)
{
    return material(dot(p, n) + o, col, false);
}

// Union that keeps the whole record of the nearer solid; a tie goes to b.
material nearer(material a, material b)
{
    return a.d < b.d ? a : b;
}

// Polynomial smooth minimum: blends where a and b lie within k of each other.
float smooth_min(float a, float b, float k)
{
    float w = max(k - abs(a - b), 0.0);
    return min(a, b) - w * w * 0.25 / k;
}

// Eye space into the scene frame, whose Y axis points up from the ground.
vec3 scene_frame(vec3 p)
{
    vec3 q = rotate_xyz(rotate_xyz(p, vec3(-0.7, 0.0, -0.04)), vec3(0.0, 1.1, 0.0));
    return q + vec3(0.5, -1.05, 0.0);
}

// Distance to the whole scene and the colour of the nearest solid. Each solid is evaluated at
// q + offset, which puts its centre at -offset in the scene frame: the centre is given beside it.
material scene(vec3 p)
{
    vec3 q = scene_frame(p);

    // Arguments: frustum(at, h, r1, r2, rounding, colour), round_box(at, half-size, rounding,
    // colour), plane(at, normal, o, colour).
    material ground_plane = plane(q + vec3(0.0, 1.25, 0.0), vec3(0.0, 1.0, 0.0), 1.0, ground); // surface y = -2.25

    // The joystick: a tapered stem in a stepped base, on the axis x = z = 0.
    material stem = frustum(q + vec3(0.0, 0.1, 0.0), 1.0, 0.15, 0.25, 0.0, red);           // centre (0, -0.1, 0)
    material collar = frustum(q + vec3(0.0, 0.6, 0.0), 0.05, 0.3, 0.3, 0.05, black);       // centre (0, -0.6, 0)
    material drum = frustum(q + vec3(0.0, 1.0, 0.0), 0.3, 0.6, 0.6, 0.05, black);          // centre (0, -1, 0)
    material plate = round_box(q + vec3(0.0, 1.4, 0.0), vec3(0.9, 0.15, 0.9), 0.1, black); // centre (0, -1.4, 0)

    // Two-tier discs on the slab, either side of z = 0: centred at (-1.75, -1.34, -0.75) and
    // (-1.75, -1.34, 0.75) the large ones, at (-1.75, -1.27, -0.75) and (-1.75, -1.27, 0.75) the
    // small ones.
    material disc_large_1 = frustum(q + vec3(1.75, 1.34, 0.75), 0.05, 0.55, 0.45, 0.02, red);
    material disc_large_2 = frustum(q + vec3(1.75, 1.34, -0.75), 0.05, 0.55, 0.45, 0.02, red);
    material disc_small_1 = frustum(q + vec3(1.75, 1.27, 0.75), 0.05, 0.4, 0.4, 0.015, red);
    material disc_small_2 = frustum(q + vec3(1.75, 1.27, -0.75), 0.05, 0.4, 0.4, 0.015, red);

    material slab = round_box(q + vec3(0.5, 1.85, 0.0), vec3(1.55, 0.0, 1.05), 0.45, black); // centre (-0.5, -1.85, 0)

    // A bar from x = -18 to x = -2 whose axis waves with x: at y = -2.05 - 0.1 sin(1.8 x) and
    // z = -0.75 - sin(sin(0.7 x)). The offset varies along the bar, so this distance is only an
    // estimate.
    material cable = round_box(q + vec3(10.0, 0.1 * sin(1.8 * q.x) + 2.05, sin(sin(0.7 * q.x)) + 0.75),
                               vec3(8.0, 0.0, 0.0), 0.1, black);
    material ball = round_box(q + vec3(0.0, -1.0, 0.0), vec3(0.0), 0.5, red); // centre (0, 1, 0), radius 0.5

    // The large discs sink by 0.0005 so that they win over the small ones where both surfaces
    // meet. (Adjusted after all the declarations, which the compact form writes as one.)
    disc_large_1.d -= 0.0005;
    disc_large_2.d -= 0.0005;

    // Grain: tiny spheres on a 0.0001 lattice whose radii follow the hash, between 0 and 0.002.
    vec3 c = mod(q, 0.0001) - 0.00005;
    float g = round_box(c, vec3(0.0), grain_hash(q.xz) * 0.002, black).d;
    ground_plane.d = mix(ground_plane.d, g, 0.05);

    material pedestal = material(smooth_min(smooth_min(drum.d, plate.d, 0.15), collar.d, 0.05), black, false);

    material acc = nearer(ball, stem);
    acc = nearer(acc, slab);
    acc.d = mix(acc.d, g, 0.3);  // shorter steps towards the grainy group, and its grain
    acc = nearer(acc, pedestal);
    acc = nearer(acc, disc_large_1);
    acc = nearer(acc, disc_large_2);
    acc = nearer(acc, disc_small_1);
    acc = nearer(acc, disc_small_2);
    acc = nearer(acc, ground_plane);
    acc = nearer(acc, cable);
    return acc;
}

// Sphere tracing from the current march_pos along dir, until a hit, until max_dist from
// origin, or until the pixel's march_budget is spent. The first sample is taken where the
// march starts; march_pos ends at the last sample.
material march(vec3 origin, vec3 dir, float max_dist)
{
    material result = material(0.0, vec3(0.0), false);
    while (step_count < march_budget && distance(origin, march_pos) < max_dist && !result.hit)
    {
        march_pos += dir * result.d;
        result = scene(march_pos);
        result.hit = result.d < hit_epsilon;
        step_count += 1.0;
    }
    return result;
}

// Gradient of the distance field by backward differences along the eye-space axes.
vec3 surface_normal(vec3 p)
{
    vec2 e = vec2(normal_step, 0.0);
    float d0 = scene(p).d;
    return normalize(d0 - vec3(scene(p - e.xyy).d, scene(p - e.yxy).d, scene(p - e.yyx).d));
}

// Light reaching origin from direction dir: 0 in full shadow, 1 unshadowed, a penumbra of
// sharpness k between. Each pair of samples estimates how close the ray passes to an occluder:
// y along the ray to the nearest approach, w the distance there.
float soft_shadow(vec3 origin, vec3 dir, float t_min, float t_max, float k)
{
    float res = 1.0;
    float prev = 1e20;
    float t = t_min;
    while (t < t_max)
    {
        float h = scene(origin + dir * t).d;
        if (h < shadow_epsilon)
            return 0.0;
        float y = h * h / (2.0 * prev);
        float w2 = h * h - y * y;
        // Where the field is not exact (grain, cable) w2 may fall below zero, and where the
        // nearest approach lies at or behind the origin the estimate is unbounded: neither
        // tells anything about the penumbra, so such a sample leaves res as it was.
        if (w2 >= 0.0 && t > y)
            res = min(res, k * sqrt(w2) / (t - y));
        prev = h;
        t += h;
    }
    return res;
}

// Base colour plus a broad and a sharp highlight per light, both from the mirror reflection
// of the light about n seen along ray_dir, each dimmed by the light's soft shadow. The base is
// added unlit.
vec3 shade(vec3 p, vec3 n, vec3 base, float w)
{
    vec3 highlights = vec3(0.0);
    for (int k = 0; k < 3; k++)
    {
        // R . V: how nearly the light mirrored about n runs back along the view.
        float alignment = max(0.0, dot(reflect(light_dir[k], n), ray_dir));
        float sharp = pow(alignment, 64.0);
        float unshadowed = soft_shadow(p, light_dir[k], shadow_start, shadow_reach, penumbra_sharpness);
        highlights += (alignment * w * 0.333 + sharp * w * 3.0) * light_color[k] * unshadowed;
    }
    return base + highlights;
}

void main()
{
    vec2 tint = vec2(0.5, 0.7);
    light_dir[0] = normalize(vec3(0.0, 10.0, -2.0));
    light_dir[1] = normalize(vec3(-50.0, 20.0, -50.0));
    light_dir[2] = normalize(vec3(-50.0, 60.0, -7.0));
    light_color[0] = tint.xxy * 2.0;
    light_color[1] = tint.xyx;
    light_color[2] = tint.yxx * 0.75;

    frag_color = vec3(0.0);
    material primary = march(eye, ray_dir, far_distance);
    vec3 n = surface_normal(march_pos);
    if (primary.hit)
    {
        frag_color = shade(march_pos, n, primary.col, highlight_weight);
        if (primary.col == black)
        {
            // One short mirror bounce, from a point stepped back towards the eye, on what
            // is left of the pixel's step budget.
            march_pos -= ray_dir * bounce_step_back;
            ray_dir = normalize(reflect(ray_dir, n));
            material second = march(march_pos, ray_dir, bounce_reach);
            if (second.hit)
                frag_color = mix(frag_color, shade(march_pos, surface_normal(march_pos), second.col, highlight_weight),
                                 bounce_weight);
        }
    }

    // Fade, measured to where the last march stopped; then gamma.
    frag_color *= 1.0 - distance(eye, march_pos) * fade_per_unit;
    frag_color = pow(max(frag_color, 0.0), vec3(gamma_exponent));
}
