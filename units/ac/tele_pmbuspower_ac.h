#pragma once

// AC telemetry records: the head record of an AC distribution unit
// and the record of one AC input channel.
//
// Both are byte-packed and little-endian; their bytes are at once what the unit
// publishes, what it saves as history and what it accepts from the cache
// (the snapshot format). Fill them with memcpy (units/common/packed_field.h), never through
// pointers to their multi-byte members, which may be misaligned.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#pragma pack(push, 1)

// Head record. AirlockMax: capacity of the switch-state array; P4043: expected
// number of user-defined switch states.
template <unsigned char AirlockMax, unsigned char P4043>
struct tele_c_pmbuspower_ac {
  static constexpr unsigned char AIRLOCK_MAX() { return AirlockMax; }
  static constexpr unsigned char P40_43_SIZE() { return P4043; }

  std::uint32_t data_id;       // the device's data id (InitV)
  float ia;                    // phase A current (41h)
  float ib;                    // phase B current (41h)
  float ic;                    // phase C current (41h)
  std::uint8_t channel_count;  // number of AC input channels
  std::uint8_t airlock_count;  // switch states reported by 43h
  std::uint8_t airlock_state[AirlockMax];
  std::uint8_t user_state_count;  // user-defined switch states reported by 43h
  std::uint8_t user_state[P4043];
  std::uint8_t ia_alert;  // alarm states of the phase currents (44h)
  std::uint8_t ib_alert;
  std::uint8_t ic_alert;
  std::uint8_t stamp[7];  // host time stamp of the last completed cycle
};

// Channel record. P4041: expected number of user-defined analog values; P4044:
// expected number of user-defined alarm states.
template <unsigned char P4041, unsigned char P4044>
struct tele_c_pmbuspower_ac_channel {
  static constexpr unsigned char P40_41_SIZE() { return P4041; }
  static constexpr unsigned char p40_44_SIZE() { return P4044; }

  float a;                         // line/phase voltage AB/A (41h)
  float b;                         // line/phase voltage BC/B
  float c;                         // line/phase voltage CA/C
  float f;                         // input frequency
  std::uint8_t user_analog_count;  // user-defined analog values reported by 41h
  float user_analog[P4041];
  std::uint8_t a_alert;  // alarm states (44h)
  std::uint8_t b_alert;
  std::uint8_t c_alert;
  std::uint8_t f_alert;
  std::uint8_t user_alert_count;  // user-defined alarm states reported by 44h
  std::uint8_t user_alert[P4044];
};

#pragma pack(pop)

using tele_c_korvan_ac = tele_c_pmbuspower_ac<0, 4>;
using tele_c_korvan_ac_channel = tele_c_pmbuspower_ac_channel<0, 3>;

static_assert(sizeof(tele_c_korvan_ac) == 33, "the KORVAN AC head record is 33 bytes");
static_assert(sizeof(tele_c_korvan_ac_channel) == 25, "the KORVAN AC channel record is 25 bytes");
static_assert(alignof(tele_c_korvan_ac) == 1 && alignof(tele_c_korvan_ac_channel) == 1,
              "the records are byte-packed");
static_assert(std::is_trivially_copyable_v<tele_c_korvan_ac> &&
                  std::is_trivially_copyable_v<tele_c_korvan_ac_channel>,
              "the records are copied as bytes");
static_assert(std::is_standard_layout_v<tele_c_korvan_ac> &&
                  std::is_standard_layout_v<tele_c_korvan_ac_channel>,
              "offsetof applies to the records");

// The snapshot format.
static_assert(offsetof(tele_c_korvan_ac, data_id) == 0 && offsetof(tele_c_korvan_ac, ia) == 4 &&
                  offsetof(tele_c_korvan_ac, ib) == 8 && offsetof(tele_c_korvan_ac, ic) == 12 &&
                  offsetof(tele_c_korvan_ac, channel_count) == 16 &&
                  offsetof(tele_c_korvan_ac, airlock_count) == 17 &&
                  offsetof(tele_c_korvan_ac, airlock_state) == 18 &&
                  offsetof(tele_c_korvan_ac, user_state_count) == 18 &&
                  offsetof(tele_c_korvan_ac, user_state) == 19 &&
                  offsetof(tele_c_korvan_ac, ia_alert) == 23 &&
                  offsetof(tele_c_korvan_ac, ib_alert) == 24 &&
                  offsetof(tele_c_korvan_ac, ic_alert) == 25 &&
                  offsetof(tele_c_korvan_ac, stamp) == 26,
              "head record offsets of the snapshot format");
static_assert(offsetof(tele_c_korvan_ac_channel, a) == 0 &&
                  offsetof(tele_c_korvan_ac_channel, b) == 4 &&
                  offsetof(tele_c_korvan_ac_channel, c) == 8 &&
                  offsetof(tele_c_korvan_ac_channel, f) == 12 &&
                  offsetof(tele_c_korvan_ac_channel, user_analog_count) == 16 &&
                  offsetof(tele_c_korvan_ac_channel, user_analog) == 17 &&
                  offsetof(tele_c_korvan_ac_channel, a_alert) == 17 &&
                  offsetof(tele_c_korvan_ac_channel, b_alert) == 18 &&
                  offsetof(tele_c_korvan_ac_channel, c_alert) == 19 &&
                  offsetof(tele_c_korvan_ac_channel, f_alert) == 20 &&
                  offsetof(tele_c_korvan_ac_channel, user_alert_count) == 21 &&
                  offsetof(tele_c_korvan_ac_channel, user_alert) == 22,
              "channel record offsets of the snapshot format");
