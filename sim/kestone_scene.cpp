#include "sim/kestone_scene.h"

#include <cmath>
#include <random>

namespace kest_sim {

namespace {

constexpr double room_x = 3.0, room_y = 2.0, room_z = 3.0; // half widths and height

struct surface {
    std::array<double, 3> origin, u, v; // a rectangle origin + a*u + b*v, a, b in [0, 1]
    uint8_t r, g, b;
    // An opening in it: a in [a0, a1] and b in [b0, b1]; none when a0 >= a1.
    double hole_a0 = 0, hole_a1 = 0, hole_b0 = 0, hole_b1 = 0;
    bool outside = false; // seen only through an opening; no room points on it
    int box = -1;         // the box it is a face of, if any
    bool in_hole(double a, double b) const {
        return a > hole_a0 && a < hole_a1 && b > hole_b0 && b < hole_b1;
    }
    double area() const {
        std::array<double, 3> n = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                   u[0] * v[1] - u[1] * v[0]};
        return std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    }
};

// A box standing on something: its top and four sides (the bottom is never seen).
void add_box(std::vector<surface> &out, std::array<double, 3> low, std::array<double, 3> size,
             uint8_t r, uint8_t g, uint8_t b) {
    const double sx = size[0], sy = size[1], sz = size[2];
    const std::array<double, 3> top = {low[0], low[1], low[2] + sz};
    int box = 0;
    for (const surface &s : out)
        box = std::max(box, s.box + 1);
    const size_t first = out.size();
    out.push_back({top, {sx, 0, 0}, {0, sy, 0}, r, g, b});
    out.push_back({low, {sx, 0, 0}, {0, 0, sz}, r, g, b});
    out.push_back({{low[0], low[1] + sy, low[2]}, {sx, 0, 0}, {0, 0, sz}, r, g, b});
    out.push_back({low, {0, sy, 0}, {0, 0, sz}, r, g, b});
    out.push_back({{low[0] + sx, low[1], low[2]}, {0, sy, 0}, {0, 0, sz}, r, g, b});
    for (size_t i = first; i < out.size(); ++i)
        out[i].box = box;
}

std::vector<surface> room_surfaces() {
    std::vector<surface> out = {
        {{-room_x, -room_y, 0}, {2 * room_x, 0, 0}, {0, 2 * room_y, 0}, 150, 150, 150}, // floor
        {{-room_x, -room_y, room_z},
         {2 * room_x, 0, 0},
         {0, 2 * room_y, 0},
         240,
         240,
         235},                                                                    // ceiling
        {{-room_x, -room_y, 0}, {0, 2 * room_y, 0}, {0, 0, room_z}, 200, 60, 50}, // west, red
        {{room_x, -room_y, 0}, {0, 2 * room_y, 0}, {0, 0, room_z}, 50, 80, 200},  // east, blue
        {{-room_x, -room_y, 0}, {2 * room_x, 0, 0}, {0, 0, room_z}, 60, 170, 80}, // south, green
        {{-room_x, room_y, 0}, {2 * room_x, 0, 0}, {0, 0, room_z}, 220, 200, 60}, // north, yellow
    };
    // A window in the north wall, x 0.4 .. 1.8 m, 0.9 .. 2.1 m above the floor.
    surface &north = out.back();
    north.hole_a0 = (0.4 + room_x) / (2 * room_x);
    north.hole_a1 = (1.8 + room_x) / (2 * room_x);
    north.hole_b0 = 0.9 / room_z;
    north.hole_b1 = 2.1 / room_z;
    // Across the street, 10 m beyond it: a facade 5 m high, and sky above it.
    surface facade{{-15, room_y + 10, 0}, {30, 0, 0}, {0, 0, 5}, 175, 165, 150};
    facade.outside = true;
    out.push_back(facade);
    add_box(out, {-2.4, 1.0, 0}, {1.2, 0.6, 0.8}, 140, 90, 40);       // a table
    add_box(out, {1.8, -1.6, 0}, {0.6, 0.6, 1.8}, 120, 60, 160);      // a cupboard
    add_box(out, {-room_x, -0.8, 0.9}, {0.06, 1.4, 0.8}, 22, 22, 26); // a black screen, west
    return out;
}

} // namespace

std::vector<scene_point> make_room(size_t points, unsigned seed) {
    std::vector<surface> surfaces;
    for (const surface &s : room_surfaces())
        if (!s.outside)
            surfaces.push_back(s);
    std::vector<double> cumulative;
    double total = 0;
    for (const surface &s : surfaces)
        cumulative.push_back(total += s.area());
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<scene_point> out;
    out.reserve(points);
    for (size_t i = 0; i < points; ++i) {
        double pick = unit(random) * total;
        size_t k = 0;
        while (k + 1 < surfaces.size() && cumulative[k] < pick)
            ++k;
        const surface &s = surfaces[k];
        double a = unit(random), b = unit(random);
        while (s.in_hole(a, b))
            a = unit(random), b = unit(random);
        // A little shading so flat walls still show their shape.
        double shade = 0.85 + 0.15 * b;
        out.push_back({s.origin[0] + a * s.u[0] + b * s.v[0], s.origin[1] + a * s.u[1] + b * s.v[1],
                       s.origin[2] + a * s.u[2] + b * s.v[2], static_cast<uint8_t>(s.r * shade),
                       static_cast<uint8_t>(s.g * shade), static_cast<uint8_t>(s.b * shade)});
    }
    return out;
}

namespace {

// A surface with what every ray test needs worked out once.
struct prepared_surface {
    surface s;
    std::array<double, 3> normal; // u x v, not normalised
    double uu, vv;
};

// The corners of a box's bounds, so that a ray that misses them skips its faces.
struct bounds {
    std::array<double, 3> low{1e9, 1e9, 1e9}, high{-1e9, -1e9, -1e9};
    void take(const std::array<double, 3> &p) {
        for (size_t i = 0; i < 3; ++i) {
            low[i] = std::min(low[i], p[i]);
            high[i] = std::max(high[i], p[i]);
        }
    }
    // The distance at which the ray enters them, or a negative one when it misses.
    double entry(const std::array<double, 3> &origin,
                 const std::array<double, 3> &direction) const {
        double near = 0, far = 1e300;
        for (size_t i = 0; i < 3; ++i) {
            if (std::fabs(direction[i]) < 1e-12) {
                if (origin[i] < low[i] || origin[i] > high[i])
                    return -1;
                continue;
            }
            double t0 = (low[i] - origin[i]) / direction[i],
                   t1 = (high[i] - origin[i]) / direction[i];
            if (t0 > t1)
                std::swap(t0, t1);
            near = std::max(near, t0);
            far = std::min(far, t1);
        }
        return near <= far + 1e-9 ? near : -1;
    }
};

struct prepared_room {
    std::vector<prepared_surface> surfaces; // walls first, then the boxes' faces
    std::vector<bounds> boxes;
};

const prepared_room &prepared() {
    static const prepared_room out = [] {
        prepared_room room;
        for (const surface &s : room_surfaces()) {
            std::array<double, 3> n = {s.u[1] * s.v[2] - s.u[2] * s.v[1],
                                       s.u[2] * s.v[0] - s.u[0] * s.v[2],
                                       s.u[0] * s.v[1] - s.u[1] * s.v[0]};
            room.surfaces.push_back({s, n, s.u[0] * s.u[0] + s.u[1] * s.u[1] + s.u[2] * s.u[2],
                                     s.v[0] * s.v[0] + s.v[1] * s.v[1] + s.v[2] * s.v[2]});
            if (s.box < 0)
                continue;
            if (room.boxes.size() <= static_cast<size_t>(s.box))
                room.boxes.resize(s.box + 1);
            for (double a : {0.0, 1.0})
                for (double b : {0.0, 1.0})
                    room.boxes[s.box].take({s.origin[0] + a * s.u[0] + b * s.v[0],
                                            s.origin[1] + a * s.u[1] + b * s.v[1],
                                            s.origin[2] + a * s.u[2] + b * s.v[2]});
        }
        return room;
    }();
    return out;
}

} // namespace

ray_hit trace_ray(const std::array<double, 3> &origin, const std::array<double, 3> &direction) {
    ray_hit best;
    const prepared_room &room = prepared();
    // A box whose bounds the ray misses, or enters beyond what it already hit, is skipped whole.
    uint32_t skipped = 0;
    int box_seen = -1;
    for (const prepared_surface &p : room.surfaces) {
        // Plane through origin + a*u + b*v; solve origin + d*dir = s.origin + a*u + b*v.
        const surface &s = p.s;
        if (s.box >= 0 && s.box != box_seen) {
            box_seen = s.box;
            const double entry = room.boxes[s.box].entry(origin, direction);
            if (entry < 0 || (best.distance > 0 && entry >= best.distance))
                skipped |= 1u << s.box;
        }
        if (s.box >= 0 && (skipped & (1u << s.box)) != 0)
            continue;
        const std::array<double, 3> &n = p.normal;
        double facing = n[0] * direction[0] + n[1] * direction[1] + n[2] * direction[2];
        if (std::fabs(facing) < 1e-12)
            continue;
        std::array<double, 3> w = {s.origin[0] - origin[0], s.origin[1] - origin[1],
                                   s.origin[2] - origin[2]};
        double d = (n[0] * w[0] + n[1] * w[1] + n[2] * w[2]) / facing;
        if (d <= 1e-6 || (best.distance > 0 && d >= best.distance))
            continue;
        std::array<double, 3> hit = {origin[0] + d * direction[0] - s.origin[0],
                                     origin[1] + d * direction[1] - s.origin[1],
                                     origin[2] + d * direction[2] - s.origin[2]};
        double a = (hit[0] * s.u[0] + hit[1] * s.u[1] + hit[2] * s.u[2]) / p.uu;
        double b = (hit[0] * s.v[0] + hit[1] * s.v[1] + hit[2] * s.v[2]) / p.vv;
        if (a < 0 || a > 1 || b < 0 || b > 1 || s.in_hole(a, b))
            continue;
        best.distance = d;
        best.point = {hit[0] + s.origin[0], hit[1] + s.origin[1], hit[2] + s.origin[2]};
        double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        best.normal = {n[0] / length, n[1] / length, n[2] / length};
        best.rgb = {s.r, s.g, s.b};
    }
    return best;
}

pose wiwc_a() {
    return rotation_zyx(0.05, -0.02, 0.03, {0.031, -0.012, 0.045});
}

pose wiwc_b() {
    return rotation_zyx(-0.04, 0.01, 0.02, {-0.018, 0.027, 0.011});
}

} // namespace kest_sim
