// A second, deliberately plain implementation of the filter, written straight
// from the design notes without sharing a line with filter/. The backends
// must agree with it bit for bit; a misreading in one of the two shows up as
// a mismatch.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace naive {

struct Volume {
  int X, Y, Z;
  std::vector<float> v;
  float at(int x, int y, int z) const {
    x = x < 0 ? 0 : (x >= X ? X - 1 : x);
    y = y < 0 ? 0 : (y >= Y ? Y - 1 : y);
    z = z < 0 ? 0 : (z >= Z ? Z - 1 : z);
    return v[x + X * (y + Y * z)];
  }
};

struct Field {
  int X, Y, Z;
  std::vector<float> xyz;  // three floats per voxel
  float at(int c, int x, int y, int z) const {
    x = x < 0 ? 0 : (x >= X ? X - 1 : x);
    y = y < 0 ? 0 : (y >= Y ? Y - 1 : y);
    z = z < 0 ? 0 : (z >= Z ? Z - 1 : z);
    return xyz[3 * (x + X * (y + Y * z)) + c];
  }
};

// Index and 8-bit weight numerator for one texture coordinate.
inline void fixed8(float coordinate, int& i, float& f) {
  float a = coordinate - 0.5f;
  float q = std::floor(a * 256.0f + 0.5f);
  i = static_cast<int>(std::floor(q / 256.0f));
  f = q - 256.0f * static_cast<float>(i);
}

template <class Get>
float blend(float u, float v, float w, Get get) {
  int i, j, k;
  float fx, fy, fz;
  fixed8(u, i, fx);
  fixed8(v, j, fy);
  fixed8(w, k, fz);
  float wx[2] = {(256.0f - fx) / 256.0f, fx / 256.0f};
  float wy[2] = {(256.0f - fy) / 256.0f, fy / 256.0f};
  float wz[2] = {(256.0f - fz) / 256.0f, fz / 256.0f};
  float sum = 0.0f;
  for (int c = 0; c < 2; ++c)
    for (int b = 0; b < 2; ++b)
      for (int a = 0; a < 2; ++a) sum = std::fma(get(i + a, j + b, k + c), (wx[a] * wy[b]) * wz[c], sum);
  return sum;
}

inline std::vector<float> directions(int A) {
  int n = 360 / A;
  int D = (n * n) / 2;
  std::vector<float> d;
  for (int i = 0; i < D; ++i) {
    float t = static_cast<float>((i / n) * A) * 0.0174532924f;
    float p = static_cast<float>((i % n) * A) * 0.0174532924f;
    d.push_back(std::cos(t) * std::cos(p));
    d.push_back(std::sin(t));
    d.push_back(-(std::cos(t) * std::sin(p)));
  }
  return d;
}

inline float score(const Volume& vol, int x, int y, int z, const float* d, int s, bool centred) {
  float S = 0, Q = 0, N = 0;
  float R = 0;
  if (centred) {
    R = blend(x + 0.5f, y + 0.5f, z + 0.5f, [&](int a, int b, int c) { return vol.at(a, b, c); });
    float delta = 0.0f;
    S = S + delta;
    Q = std::fma(delta, delta, Q);
    N = N + 1;
  }
  for (int dir = -1; dir <= 1; dir += 2) {
    float px = static_cast<float>(x), py = static_cast<float>(y), pz = static_cast<float>(z);
    for (int k = 1; k <= s; ++k) {
      if (dir < 0) {
        px = px - d[0]; py = py - d[1]; pz = pz - d[2];
      } else {
        px = px + d[0]; py = py + d[1]; pz = pz + d[2];
      }
      float v = blend(px + 0.5f, py + 0.5f, pz + 0.5f, [&](int a, int b, int c) { return vol.at(a, b, c); });
      if (k == 1 && !centred) R = v;
      float delta = v - R;
      S = S + delta;
      Q = std::fma(delta, delta, Q);
      N = N + 1;
    }
  }
  return (Q - (S * S) / N) / N;
}

inline Field vectorField(const Volume& vol, int s, int A, bool centred = false) {
  std::vector<float> d = directions(A);
  int D = static_cast<int>(d.size() / 3);
  Field f{vol.X, vol.Y, vol.Z, std::vector<float>(3 * vol.v.size())};
  for (int z = 0; z < vol.Z; ++z)
    for (int y = 0; y < vol.Y; ++y)
      for (int x = 0; x < vol.X; ++x) {
        float best = score(vol, x, y, z, &d[0], s, centred);
        int chosen = 0;
        if (!(best <= 1.1920929e-07f)) {
          for (int i = 1; i < D; ++i) {
            float sc = score(vol, x, y, z, &d[3 * i], s, centred);
            float m = sc < best ? sc : best;
            if (m == sc) chosen = i;
            best = m;
            if (best <= 1.1920929e-07f) break;
          }
        }
        for (int c = 0; c < 3; ++c) f.xyz[3 * (x + vol.X * (y + vol.Y * z)) + c] = d[3 * chosen + c];
      }
  return f;
}

inline void fieldAt(const Field& f, float px, float py, float pz, float k[3]) {
  for (int c = 0; c < 3; ++c)
    k[c] = blend(px + 0.5f, py + 0.5f, pz + 0.5f, [&](int a, int b, int cc) { return f.at(c, a, b, cc); });
}

inline std::vector<float> integrate(const Volume& vol, const Field& f, int steps) {
  std::vector<float> out(vol.v.size());
  float r = 1.0f / std::fma(2.0f, static_cast<float>(steps), 1.0f);
  auto V = [&](float px, float py, float pz) {
    return blend(px + 0.5f, py + 0.5f, pz + 0.5f, [&](int a, int b, int c) { return vol.at(a, b, c); });
  };
  for (int z = 0; z < vol.Z; ++z)
    for (int y = 0; y < vol.Y; ++y)
      for (int x = 0; x < vol.X; ++x) {
        float acc = V(x, y, z);
        for (int dir = -1; dir <= 1; dir += 2) {
          float p[3] = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
          for (int s = 0; s < steps; ++s) {
            float k1[3], k2[3], k3[3], k4[3];
            fieldAt(f, p[0], p[1], p[2], k1);
            if (dir < 0) for (float& c : k1) c = -c;
            fieldAt(f, p[0] + 0.5f * k1[0], p[1] + 0.5f * k1[1], p[2] + 0.5f * k1[2], k2);
            if (dir < 0) for (float& c : k2) c = -c;
            fieldAt(f, p[0] + 0.5f * k2[0], p[1] + 0.5f * k2[1], p[2] + 0.5f * k2[2], k3);
            if (dir < 0) for (float& c : k3) c = -c;
            fieldAt(f, p[0] + 0.5f * k3[0], p[1] + 0.5f * k3[1], p[2] + 0.5f * k3[2], k4);
            if (dir < 0) for (float& c : k4) c = -c;
            for (int c = 0; c < 3; ++c) {
              float t = std::fma(2.0f, k2[c], k1[c]);
              t = std::fma(2.0f, k3[c], t);
              t = t + k4[c];
              p[c] = std::fma(t, 0.1666666716f, p[c]);
            }
            acc = acc + V(p[0], p[1], p[2]);
          }
        }
        out[x + vol.X * (y + vol.Y * z)] = acc * r;
      }
  return out;
}

}  // namespace naive
