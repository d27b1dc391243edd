#include "renderer/gl/glsl.hpp"

namespace mirel::glsl {

const char* const version = "#version 330 compatibility\n";

const char* const prelude = R"(
uniform samplerBuffer field;
uniform int gridSize;
uniform int palette;
uniform int display;
uniform int vorticityColorRange;
uniform float exposure;
uniform float vorticityScale;
uniform float speedScale;
uniform float vorticityMean;
uniform float rounded;
uniform float canvasPixels;

// Texel (x, y) of the plane that starts at texel offset.
float texel(int offset, int x, int y) {
    return texelFetch(field, offset + y * gridSize + x).r;
}

// Texel (x, y) sits at uv = (x, y) / gridSize, with no half-texel offset; the grid is periodic.
float samplePlane(vec2 uv, int plane) {
    vec2 p = fract(uv) * float(gridSize);
    ivec2 a = ivec2(floor(p));
    ivec2 b = (a + 1) % gridSize;
    vec2 f = fract(p);
    int o = plane * gridSize * gridSize;
    float lo = mix(texel(o, a.x, a.y), texel(o, b.x, a.y), f.x);
    float hi = mix(texel(o, a.x, b.y), texel(o, b.x, b.y), f.x);
    return mix(lo, hi, f.y);
}

vec2 sampleVelocity(vec2 uv) {
    return vec2(samplePlane(uv, 1), samplePlane(uv, 2));
}

vec3 infernoColor(float t) {
    const vec3 stops[6] = vec3[6](vec3(.001, .000, .014), vec3(.258, .039, .406), vec3(.578, .148, .404),
                                  vec3(.865, .317, .226), vec3(.988, .645, .040), vec3(.988, .998, .645));
    float p = clamp(t, 0.0, 1.0) * 5.0;
    int i = min(int(p), 4);
    return mix(stops[i], stops[i + 1], p - float(i));
}

// value in -1 ... 1: the sign picks the hue, the magnitude the brightness.
vec3 signedColor(float value) {
    if (palette == 3) return infernoColor(0.5 + 0.5 * clamp(value, -1.0, 1.0));
    float amount = clamp(abs(value), 0.0, 1.0);
    bool positive = value >= 0.0;
    vec3 base = vec3(.017, .026, .055);
    vec3 middle;
    vec3 bright;
    if (palette == 1) {
        middle = positive ? vec3(.92, .19, .065) : vec3(.28, .17, .69);
        bright = positive ? vec3(1.0, .88, .43) : vec3(.76, .64, 1.0);
    } else if (palette == 2) {
        middle = positive ? vec3(.01, .46, .78) : vec3(.14, .24, .68);
        bright = positive ? vec3(.70, 1.0, .99) : vec3(.70, .79, 1.0);
    } else {
        middle = positive ? vec3(.025, .60, .58) : vec3(.48, .20, .79);
        bright = positive ? vec3(.48, 1.0, .84) : vec3(.94, .67, 1.0);
    }
    return mix(mix(base, middle, smoothstep(0.0, .60, amount)), bright, smoothstep(.34, 1.0, amount));
}

// value in 0 ... 1.
vec3 speedColor(float value) {
    if (palette == 3) return infernoColor(value);
    float amount = clamp(value, 0.0, 1.0);
    vec3 low = vec3(.019, .028, .063);
    vec3 mid;
    vec3 high;
    if (palette == 1) {
        mid = vec3(.67, .10, .17);
        high = vec3(1.0, .86, .41);
    } else if (palette == 2) {
        mid = vec3(.02, .33, .72);
        high = vec3(.73, .97, 1.0);
    } else {
        mid = vec3(.30, .17, .63);
        high = vec3(.36, 1.0, .80);
    }
    return mix(mix(low, mid, smoothstep(0.0, .50, amount)), high, smoothstep(.32, 1.0, amount));
}
)";

const char* const fullScreenVertex = R"(
out vec2 uv;

void main() {
    vec2 p = vec2((gl_VertexID * 2) & 2, gl_VertexID & 2);
    gl_Position = vec4(2.0 * p - 1.0, 0.0, 1.0);
    uv = p;
}
)";

const char* const fieldFragment = R"(
in vec2 uv;
out vec4 color;

void main() {
    if (rounded > 0.0) {
        vec2 q = vec2(min(uv.x, 1.0 - uv.x), uv.y) * canvasPixels;
        if (q.x < rounded && q.y < rounded && distance(q, vec2(rounded)) > rounded) discard;
    }
    float e = max(exposure, .02);
    vec3 c;
    if (display == 0) {
        float omega = samplePlane(uv, 0);
        float value = vorticityColorRange == 0 ? clamp((omega - vorticityMean) / vorticityScale, -1.0, 1.0)
                                               : tanh(omega / vorticityScale * e * 2.4);
        c = signedColor(value);
    } else if (display == 1) {
        c = speedColor(1.0 - exp(-length(sampleVelocity(uv)) / speedScale * e * 2.1));
    } else {
        float w = samplePlane(uv, 0) / vorticityScale;
        c = speedColor(1.0 - exp(-w * w * e * 8.0));
    }
    color = vec4(c, 1.0);
}
)";

const char* const streamlineVertex = R"(
out float opacity;

float seedHash(vec2 v) {
    return fract(sin(dot(v, vec2(127.1, 311.7))) * 43758.5453);
}

// Vertex k is one end of segment (k mod 36) div 2 of the line from seed k div 36.
void main() {
    const int segments = 18;
    int seed = gl_VertexID / 36;
    int endpoint = (gl_VertexID % 36) / 2 + (gl_VertexID & 1);
    vec2 cell = vec2(seed % 32, seed / 32);
    vec2 jitter = vec2(seedHash(cell), seedHash(cell + 39.4));
    vec2 p = (cell + .25 + .5 * jitter) / 32.0;
    int steps = endpoint - 9;
    float dt = (steps < 0 ? -1.0 : 1.0) * .010 / max(speedScale, .0001);
    for (int s = 0; s < abs(steps); ++s) {
        vec2 a = sampleVelocity(p);
        vec2 m = p + 0.5 * dt * a;
        p += dt * sampleVelocity(m);
    }
    float speed = length(sampleVelocity(p)) / max(speedScale, .0001);
    float taper = pow(max(sin(float(endpoint) / float(segments) * 3.14159265358979323846), 0.0), 0.7);
    gl_Position = vec4(2.0 * p - 1.0, 0.0, 1.0);
    opacity = taper * smoothstep(.005, .15, speed) * .25;
}
)";

const char* const streamlineFragment = R"(
in float opacity;
out vec4 color;

void main() {
    color = vec4(.76, .93, 1.0, opacity);
}
)";

}  // namespace mirel::glsl
