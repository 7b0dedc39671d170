#include "communication/vectornav/TextMessage.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "communication/vectornav/Protocol.h"

namespace Communication::Device::Vn::Text {

namespace {

enum class Kind : std::uint8_t {
  kNone,
  kDouble,
  kFloat,
  kU16,
  kU16Hex,
  kU8,
};

// A run of consecutive fields stored side by side from a record offset.
struct Run {
  Kind kind = Kind::kNone;
  std::uint8_t count = 0;
  std::uint16_t offset = 0;
};

struct Output {
  std::string_view header;
  std::array<Run, 9> runs{};
};

constexpr Run D(std::size_t offset, int count = 1) {
  return {Kind::kDouble, static_cast<std::uint8_t>(count), static_cast<std::uint16_t>(offset)};
}
constexpr Run Of(Kind kind, std::size_t offset) { return {kind, 1, static_cast<std::uint16_t>(offset)}; }

#define AT(member) offsetof(Record, member)

// The sensor's text data outputs and where their fields go, in field order.
constexpr std::array<Output, 27> kOutputs{{
    {"VNYPR", {D(AT(yawPitchRoll), 3)}},
    {"VNQTN", {D(AT(quaternion), 4)}},
    {"VNQTM", {D(AT(quaternion), 4), D(AT(magneticField), 3)}},
    {"VNQTA", {D(AT(quaternion), 4), D(AT(acceleration), 3)}},
    {"VNQTR", {D(AT(quaternion), 4), D(AT(angularRate), 3)}},
    {"VNQMA", {D(AT(quaternion), 4), D(AT(magneticField), 3), D(AT(acceleration), 3)}},
    {"VNQAR", {D(AT(quaternion), 4), D(AT(acceleration), 3), D(AT(angularRate), 3)}},
    {"VNQMR", {D(AT(quaternion), 4), D(AT(magneticField), 3), D(AT(acceleration), 3), D(AT(angularRate), 3)}},
    {"VNDCM", {D(AT(directionCosines), 9)}},
    {"VNMAG", {D(AT(magneticField), 3)}},
    {"VNACC", {D(AT(acceleration), 3)}},
    {"VNGYR", {D(AT(angularRate), 3)}},
    {"VNMAR", {D(AT(magneticField), 3), D(AT(acceleration), 3), D(AT(angularRate), 3)}},
    {"VNYMR", {D(AT(yawPitchRoll), 3), D(AT(magneticField), 3), D(AT(acceleration), 3), D(AT(angularRate), 3)}},
    // Attitude with the calibrated but uncompensated measurements and temperature.
    {"VNYCM",
     {D(AT(yawPitchRoll), 3), D(AT(uncompensatedMagneticField), 3), D(AT(uncompensatedAcceleration), 3),
      D(AT(uncompensatedAngularRate), 3), D(AT(temperature))}},
    {"VNYBA", {D(AT(yawPitchRoll), 3), D(AT(linearAccelerationBody), 3), D(AT(angularRate), 3)}},
    {"VNYIA", {D(AT(yawPitchRoll), 3), D(AT(linearAccelerationNed), 3), D(AT(angularRate), 3)}},
    {"VNICM",
     {D(AT(yawPitchRoll), 3), D(AT(magneticFieldNed), 3), D(AT(accelerationNed), 3), D(AT(angularRate), 3)}},
    {"VNRAW", {D(AT(rawVoltages), 10)}},
    {"VNCMV",
     {D(AT(uncompensatedMagneticField), 3), D(AT(uncompensatedAcceleration), 3), D(AT(uncompensatedAngularRate), 3),
      D(AT(temperature))}},
    {"VNSTV", {D(AT(quaternion), 4), D(AT(gyroBias), 3)}},
    {"VNCOV", {D(AT(attitudeVariance), 3), D(AT(gyroBiasVariance), 3)}},
    {"VNIMU",
     {D(AT(uncompensatedMagneticField), 3), D(AT(uncompensatedAcceleration), 3), D(AT(uncompensatedAngularRate), 3),
      D(AT(temperature)), D(AT(pressure))}},
    // Time of week, week, fix, satellites, position, velocity, position,
    // speed and time accuracy.
    {"VNGPS",
     {D(AT(gpsTimeOfWeekSeconds)), Of(Kind::kU16, AT(gpsWeek)), Of(Kind::kU8, AT(gpsFix)),
      Of(Kind::kU8, AT(satellites)), D(AT(gpsPosition), 3), D(AT(gpsVelocityNed), 3),
      D(AT(gpsPositionUncertainty), 3), D(AT(gpsVelocityUncertainty)), Of(Kind::kFloat, AT(gpsTimeAccuracy))}},
    {"VNGPE",
     {D(AT(gpsTimeOfWeekSeconds)), Of(Kind::kU16, AT(gpsWeek)), Of(Kind::kU8, AT(gpsFix)),
      Of(Kind::kU8, AT(satellites)), D(AT(gpsPositionEcef), 3), D(AT(gpsVelocityEcef), 3),
      D(AT(gpsPositionUncertainty), 3), D(AT(gpsVelocityUncertainty)), Of(Kind::kFloat, AT(gpsTimeAccuracy))}},
    // Time of week, week, status, attitude, position, velocity, then the
    // attitude, position and velocity uncertainties.
    {"VNINS",
     {D(AT(gpsTimeOfWeekSeconds)), Of(Kind::kU16, AT(gpsWeek)), Of(Kind::kU16Hex, AT(insStatus)),
      D(AT(yawPitchRoll), 3), D(AT(position), 3), D(AT(velocity), 3), D(AT(attitudeUncertainty)),
      D(AT(insPositionUncertainty)), D(AT(insVelocityUncertainty))}},
    {"VNDTV", {D(AT(deltaTime)), D(AT(deltaAngle), 3), D(AT(deltaVelocity), 3)}},
}};

#undef AT

constexpr std::size_t Width(Kind kind) {
  switch (kind) {
    case Kind::kDouble: return sizeof(double);
    case Kind::kFloat: return sizeof(float);
    case Kind::kU16:
    case Kind::kU16Hex: return sizeof(std::uint16_t);
    case Kind::kU8: return sizeof(std::uint8_t);
    case Kind::kNone: return 0;
  }
  return 0;
}

constexpr bool InsideRecord() {
  for (const auto& output : kOutputs)
    for (const auto& run : output.runs)
      if (run.offset + run.count * Width(run.kind) > sizeof(Record)) return false;
  return true;
}
static_assert(InsideRecord());

std::optional<int> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return std::nullopt;
}

// Takes the next comma-separated field off the front of `fields`; none when
// they have run out.
std::optional<std::string_view> NextField(std::string_view& fields, bool& exhausted) {
  if (exhausted) return std::nullopt;
  const std::size_t comma = fields.find(',');
  const std::string_view field = fields.substr(0, comma);
  if (comma == std::string_view::npos)
    exhausted = true;
  else
    fields.remove_prefix(comma + 1);
  return field;
}

template <class Number>
bool ParseWhole(std::string_view text, Number& value, int base = 10) {
  // The sensor writes a sign on positive numbers, which from_chars does not take.
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  std::from_chars_result result;
  if constexpr (std::is_floating_point_v<Number>)
    result = std::from_chars(text.data(), end, value);
  else
    result = std::from_chars(text.data(), end, value, base);
  return result.ec == std::errc() && result.ptr == end;
}

bool Store(Kind kind, std::string_view text, std::uint8_t* to) {
  switch (kind) {
    case Kind::kDouble: {
      double value;
      if (!ParseWhole(text, value)) return false;
      std::memcpy(to, &value, sizeof value);
      return true;
    }
    case Kind::kFloat: {
      float value;
      if (!ParseWhole(text, value)) return false;
      std::memcpy(to, &value, sizeof value);
      return true;
    }
    case Kind::kU16:
    case Kind::kU16Hex: {
      std::uint16_t value;
      if (!ParseWhole(text, value, kind == Kind::kU16Hex ? 16 : 10)) return false;
      std::memcpy(to, &value, sizeof value);
      return true;
    }
    case Kind::kU8: {
      std::uint8_t value;
      if (!ParseWhole(text, value)) return false;
      *to = value;
      return true;
    }
    case Kind::kNone: break;
  }
  return false;
}

}  // namespace

std::optional<Message> Parse(std::string_view line) {
  // "$", at least one character, "*", two digits, CR, LF.
  constexpr std::string_view kEnd = "\r\n";
  if (line.size() < 7 || line.front() != '$' || line.substr(line.size() - 2) != kEnd) return std::nullopt;
  const std::size_t star = line.size() - 5;
  if (line[star] != '*') return std::nullopt;
  const auto high = HexDigit(line[star + 1]);
  const auto low = HexDigit(line[star + 2]);
  if (!high || !low) return std::nullopt;
  const std::string_view withDollar = line.substr(0, star);
  if (Checksum(withDollar) != *high * 16 + *low) return std::nullopt;

  Message message;
  message.body = withDollar.substr(1);
  const std::size_t comma = message.body.find(',');
  message.header = message.body.substr(0, comma);
  if (comma != std::string_view::npos) message.fields = message.body.substr(comma + 1);
  return message;
}

std::optional<int> ErrorNumber(const Message& message) {
  if (message.header != "VNERR") return std::nullopt;
  std::string_view fields = message.fields;
  bool exhausted = message.body.find(',') == std::string_view::npos;
  const auto field = NextField(fields, exhausted);
  int number;
  if (!field || !ParseWhole(*field, number) || number < 0) return std::nullopt;
  return number;
}

bool Decode(const Message& message, Record& record) {
  record = Record{};
  const Output* output = nullptr;
  for (const auto& candidate : kOutputs)
    if (candidate.header == message.header) output = &candidate;
  if (!output) return false;

  auto* out = reinterpret_cast<std::uint8_t*>(&record);
  std::string_view fields = message.fields;
  bool exhausted = message.body.find(',') == std::string_view::npos;
  for (const auto& run : output->runs) {
    for (std::size_t i = 0; i < run.count; ++i) {
      const auto field = NextField(fields, exhausted);
      if (!field || !Store(run.kind, *field, out + run.offset + i * Width(run.kind))) return false;
    }
  }
  return true;
}

}  // namespace Communication::Device::Vn::Text
