#pragma once

#include <cstddef>
#include <cstdint>

// Telemetry record of a DC distribution unit. Its bytes are what the unit
// publishes, what it saves as history and what it accepts back from the cache,
// so the layout is a stored format: byte-packed, little-endian. The template
// arguments are the fixed capacities of the variable blocks; the count bytes
// keep the count as received, also when it exceeds the capacity.
//
//   offset                    size     field
//   0                         4        data_id        u32
//   4                         4        v              f32
//   8                         4        i              f32
//   12                        1        dc_m           u8
//   13                        4M       m_value        f32[M]
//   13+4M                     1        dc_n           u8
//   14+4M                     4N       n_value        f32[N]
//   14+4(M+N)                 1        p_count        u8
//   15+4(M+N)                 4P       user_p         f32[P]
//   15+4(M+N+P)               1        dc_state       u8
//   16+4(M+N+P)               1        alert_m_count  u8
//   17+4(M+N+P)               AM       alert_m        u8[ALERT_M]
//   17+4(M+N+P)+AM            1        alert_p_count  u8
//   18+4(M+N+P)+AM            AP       alert_p        u8[ALERT_P]
//   18+4(M+N+P)+AM+AP         7        stamp
//
// Size: 25 + 4(M+N+P) + ALERT_M + ALERT_P. A capacity of 0 gives an empty
// (zero-length) array. Fields are accessed by offset with memcpy only.
//
// dc_state: 1 output voltage too low, 2 too high. user_p holds -0.1 where the
// reply carried the no-data marker. stamp is the host time stamp of the last
// completed polling cycle; the parsers touch neither it nor data_id.
#pragma pack(push, 1)
template <std::uint8_t M, std::uint8_t N, std::uint8_t P, std::uint8_t ALERT_M,
          std::uint8_t ALERT_P>
struct tele_c_pmbuspower_dc {
  static constexpr std::uint8_t M_SIZE() { return M; }
  static constexpr std::uint8_t N_SIZE() { return N; }
  static constexpr std::uint8_t P_SIZE() { return P; }
  static constexpr std::uint8_t ALERT_M_SIZE() { return ALERT_M; }
  static constexpr std::uint8_t ALERT_P_SIZE() { return ALERT_P; }
  static constexpr std::size_t RECORD_SIZE() {
    return 25 + 4 * (std::size_t{M} + N + P) + ALERT_M + ALERT_P;
  }

  std::uint32_t data_id;
  float v;
  float i;
  std::uint8_t dc_m;
  float m_value[M];
  std::uint8_t dc_n;
  float n_value[N];
  std::uint8_t p_count;
  float user_p[P];
  std::uint8_t dc_state;
  std::uint8_t alert_m_count;
  std::uint8_t alert_m[ALERT_M];
  std::uint8_t alert_p_count;
  std::uint8_t alert_p[ALERT_P];
  std::uint8_t stamp[7];
};
#pragma pack(pop)

// The KORVAN DC unit: 3 M values, no N values, 6 user-defined values,
// 20 M alarm states and 11 user-defined alarm states; 92 bytes.
//
//   0 data_id | 4 v | 8 i | 12 dc_m | 13 m_value[3] | 25 dc_n | 26 p_count |
//   27 user_p[6] | 51 dc_state | 52 alert_m_count | 53 alert_m[20] |
//   73 alert_p_count | 74 alert_p[11] | 85 stamp[7] | 92
using tele_c_korvan_dc = tele_c_pmbuspower_dc<3, 0, 6, 20, 11>;

static_assert(sizeof(tele_c_korvan_dc) == 92, "the KORVAN DC record is 92 bytes");
static_assert(sizeof(tele_c_korvan_dc) == tele_c_korvan_dc::RECORD_SIZE(),
              "no padding in the DC record");
static_assert(offsetof(tele_c_korvan_dc, dc_n) == 25 && offsetof(tele_c_korvan_dc, p_count) == 26 &&
                  offsetof(tele_c_korvan_dc, dc_state) == 51 &&
                  offsetof(tele_c_korvan_dc, alert_p_count) == 73 &&
                  offsetof(tele_c_korvan_dc, stamp) == 85,
              "DC record field offsets");
