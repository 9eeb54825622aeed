#pragma once

#include <cstdint>

// Telemetry records of the rectifier group. Both are byte-packed and their
// bytes are the published snapshot, the history record and the cache blob, so
// the offsets are a format. 4-byte values are little-endian IEEE-754 singles
// copied unchanged from the replies; nothing here interprets them.

#pragma pack(push, 1)

// System record: AC and DC parameters of the power system and the rectifier
// output voltage. For the product (14 user-defined DC values, 56 bytes):
//
//   0       4       8       12      16      20      24      28      32 33
//   +-------+-------+-------+-------+-------+-------+-------+-------+--+----------//---+
//   |data_id|ac_v_up|ac_v_lo|ac_i_up|freq_up|freq_lo|dc_v_up|dc_v_lo|n |dc_param (56) |
//   +-------+-------+-------+-------+-------+-------+-------+-------+--+----------//---+
//   89      93 94            101
//   +-------+--+-------------+
//   |out_v  |M |stamp (7)    |
//   +-------+--+-------------+
template <int P42_46_NUMBER_, int P42_46_SIZE_>
struct tele_c_pmbuspower_rc {
  // User-defined DC parameters accepted, and the bytes reserved for them.
  static constexpr int P42_46_NUMBER() { return P42_46_NUMBER_; }
  static constexpr int P42_46_SIZE() { return P42_46_SIZE_; }

  std::uint32_t data_id;        // least significant byte first
  float ac_voltage_upper;       // V
  float ac_voltage_lower;       // V
  float ac_current_upper;       // A
  float frequency_upper;        // Hz
  float frequency_lower;        // Hz
  float dc_voltage_upper;       // V
  float dc_voltage_lower;       // V
  std::uint8_t dc_param_count;  // as received
  std::uint8_t dc_param[P42_46_SIZE_];
  float output_voltage;       // V
  std::uint8_t module_count;  // number of elements of the module list
  std::uint8_t stamp[7];      // host time stamp of the last completed cycle
};

// Per-module record. P41_41, P41_43 and P41_44 are the counts of user-defined
// analog values, switch states and alarm states accepted. For the product
// (0, 1, 0):
//
//   0         4  5  6  7  8  9  10 11 12
//   +---------+--+--+--+--+--+--+--+--+
//   |current  |pa|on|cl|cm|ps|us|ft|pf|
//   +---------+--+--+--+--+--+--+--+--+
//   pa user_analog_count (user_analog follows, 4 x P41_41), on on_off,
//   cl current_limit, cm charge_mode, ps user_state_count, us user_state
//   (P41_43), ft fault, pf user_alert_count (user_alert follows, P41_44)
template <int P41_41, int P41_43, int P41_44>
struct tele_c_pmbuspower_rc_channel {
  static constexpr int P41_41_SIZE() { return P41_41; }
  static constexpr int P41_43_SIZE() { return P41_43; }
  static constexpr int P41_44_SIZE() { return P41_44; }

  float output_current;  // A
  std::uint8_t user_analog_count;
  float user_analog[P41_41];
  std::uint8_t on_off;
  std::uint8_t current_limit;
  std::uint8_t charge_mode;  // float / equalise / test
  std::uint8_t user_state_count;
  std::uint8_t user_state[P41_43];
  std::uint8_t fault;  // 1 means fault
  std::uint8_t user_alert_count;
  std::uint8_t user_alert[P41_44];
};

#pragma pack(pop)

using tele_c_korvan_rc = tele_c_pmbuspower_rc<14, 56>;
using tele_c_korvan_rc_channel = tele_c_pmbuspower_rc_channel<0, 1, 0>;

static_assert(sizeof(tele_c_korvan_rc) == 101, "rectifier system record is 101 bytes");
static_assert(sizeof(tele_c_korvan_rc_channel) == 12, "rectifier module record is 12 bytes");
