#include "communication/vectornav/BinaryPacket.h"

#include <array>
#include <cstring>

#include "common/LittleEndian.h"

namespace Communication::Device::Vn::Binary {

namespace {

// How a run of packet values lands in the record.
enum class Store : std::uint8_t {
  kNone,
  kWiden,  // 32-bit floats become doubles
  kCopy,   // values kept byte for byte
};

struct Piece {
  Store store = Store::kNone;
  std::uint8_t count = 0;
  std::uint8_t width = 0;    // bytes of one value in the packet
  std::uint16_t offset = 0;  // record byte of the first value
};

struct Field {
  std::uint8_t size = 0;  // bytes in the packet; 0: unknown
  bool passedOver = false;
  std::array<Piece, 3> pieces{};
};

constexpr Piece Floats(std::size_t offset, int count) {
  return {Store::kWiden, static_cast<std::uint8_t>(count), 4, static_cast<std::uint16_t>(offset)};
}

constexpr Piece Values(std::size_t offset, int count, int width) {
  return {Store::kCopy, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(width),
          static_cast<std::uint16_t>(offset)};
}

constexpr Field Held(int size, Piece first, Piece second = {}, Piece third = {}) {
  return {static_cast<std::uint8_t>(size), false, {first, second, third}};
}

// A field of known size that the record has no place for.
constexpr Field NotHeld(int size) { return {static_cast<std::uint8_t>(size), false, {}}; }

constexpr Field PassedOver(int size) { return {static_cast<std::uint8_t>(size), true, {}}; }

#define AT(member) offsetof(Record, member)

using Group = std::array<Field, kFieldsPerGroup>;

constexpr std::array<Group, kGroups> kFields{{
    // 1 Common
    {{
        Held(8, Values(AT(timeSinceStartup), 1, 8)),
        Held(8, Values(AT(gpsTime), 1, 8)),
        Held(8, Values(AT(timeSinceSyncIn), 1, 8)),
        Held(12, Floats(AT(yawPitchRoll), 3)),
        Held(16, Floats(AT(quaternion), 4)),
        Held(12, Floats(AT(angularRate), 3)),
        Held(24, Values(AT(position), 3, 8)),
        Held(12, Floats(AT(velocity), 3)),
        Held(12, Floats(AT(acceleration), 3)),
        // Uncompensated acceleration, then angular rate: placed where the IMU
        // group puts the same quantities.
        Held(24, Floats(AT(uncompensatedAcceleration), 3), Floats(AT(uncompensatedAngularRate), 3)),
        // Magnetic field, temperature, pressure.
        Held(20, Floats(AT(magneticField), 3), Floats(AT(temperature), 1), Floats(AT(pressure), 1)),
        Held(28, Floats(AT(deltaTime), 1), Floats(AT(deltaAngle), 3), Floats(AT(deltaVelocity), 3)),
        Held(2, Values(AT(insStatus), 1, 2)),
        Held(4, Values(AT(syncInCount), 1, 4)),
        Held(8, Values(AT(timeOfLastGpsPulse), 1, 8)),
        {},
    }},
    // 2 Time
    {{
        Held(8, Values(AT(timeSinceStartup), 1, 8)),
        Held(8, Values(AT(gpsTime), 1, 8)),
        Held(8, Values(AT(gpsTimeOfWeek), 1, 8)),
        Held(2, Values(AT(gpsWeek), 1, 2)),
        Held(8, Values(AT(timeSinceSyncIn), 1, 8)),
        Held(8, Values(AT(timeOfLastGpsPulse), 1, 8)),
        Held(8, Values(AT(utc), 6, 1), Values(AT(utcMilliseconds), 1, 2)),
        Held(4, Values(AT(syncInCount), 1, 4)),
    }},
    // 3 IMU
    {{
        PassedOver(2),
        Held(12, Floats(AT(uncompensatedMagneticField), 3)),
        Held(12, Floats(AT(uncompensatedAcceleration), 3)),
        Held(12, Floats(AT(uncompensatedAngularRate), 3)),
        Held(4, Floats(AT(temperature), 1)),
        Held(4, Floats(AT(pressure), 1)),
        Held(16, Floats(AT(deltaTime), 1), Floats(AT(deltaAngle), 3)),
        Held(12, Floats(AT(deltaVelocity), 3)),
        Held(12, Floats(AT(magneticField), 3)),
        Held(12, Floats(AT(acceleration), 3)),
        Held(12, Floats(AT(angularRate), 3)),
        Held(2, Values(AT(sensorSaturation), 1, 2)),
        NotHeld(40),
    }},
    // 4 GPS
    {{
        Held(8, Values(AT(utc), 6, 1), Values(AT(utcMilliseconds), 1, 2)),
        Held(8, Values(AT(gpsTimeOfWeek), 1, 8)),
        Held(2, Values(AT(gpsWeek), 1, 2)),
        Held(1, Values(AT(satellites), 1, 1)),
        Held(1, Values(AT(gpsFix), 1, 1)),
        Held(24, Values(AT(gpsPosition), 3, 8)),
        Held(24, Values(AT(gpsPositionEcef), 3, 8)),
        Held(12, Floats(AT(gpsVelocityNed), 3)),
        Held(12, Floats(AT(gpsVelocityEcef), 3)),
        Held(12, Floats(AT(gpsPositionUncertainty), 3)),
        Held(4, Floats(AT(gpsVelocityUncertainty), 1)),
        Held(4, Values(AT(gpsTimeUncertainty), 1, 4)),
        NotHeld(32),
    }},
    // 5 Attitude
    {{
        Held(2, Values(AT(attitudeStatus), 1, 2)),
        Held(12, Floats(AT(yawPitchRoll), 3)),
        Held(16, Floats(AT(quaternion), 4)),
        Held(36, Floats(AT(directionCosines), 9)),
        Held(12, Floats(AT(magneticFieldNed), 3)),
        Held(12, Floats(AT(accelerationNed), 3)),
        Held(12, Floats(AT(linearAccelerationBody), 3)),
        Held(12, Floats(AT(linearAccelerationNed), 3)),
        Held(12, Floats(AT(yawPitchRollUncertainty), 3)),
        NotHeld(12),
        NotHeld(28),
        NotHeld(24),
    }},
    // 6 INS
    {{
        Held(2, Values(AT(insStatus), 1, 2)),
        Held(24, Values(AT(position), 3, 8)),
        Held(24, Values(AT(insPositionEcef), 3, 8)),
        Held(12, Floats(AT(velocityBody), 3)),
        Held(12, Floats(AT(velocityNed), 3)),
        Held(12, Floats(AT(insVelocityEcef), 3)),
        Held(12, Floats(AT(magneticFieldEcef), 3)),
        Held(12, Floats(AT(accelerationEcef), 3)),
        Held(12, Floats(AT(linearAccelerationEcef), 3)),
        Held(4, Floats(AT(insPositionUncertainty), 1)),
        Held(4, Floats(AT(insVelocityUncertainty), 1)),
        NotHeld(68),
        NotHeld(64),
    }},
}};

#undef AT

constexpr std::size_t RecordBytes(const Piece& piece) {
  return piece.count * (piece.store == Store::kWiden ? sizeof(double) : piece.width);
}

// Every held field's pieces cover its packet bytes exactly and land inside the record.
constexpr bool Consistent() {
  for (const auto& group : kFields) {
    for (const auto& field : group) {
      std::size_t bytes = 0;
      for (const auto& piece : field.pieces) {
        bytes += piece.count * piece.width;
        if (piece.store == Store::kWiden && piece.width != sizeof(float)) return false;
        if (piece.offset + RecordBytes(piece) > sizeof(Record)) return false;
      }
      const bool held = field.pieces[0].store != Store::kNone;
      if (held && bytes != field.size) return false;
      if (field.passedOver && held) return false;
    }
  }
  return true;
}
static_assert(Consistent(), "a field's pieces must cover exactly its bytes and fit the record");

constexpr std::array<std::size_t, kGroups> kKnownFields{15, 8, 13, 13, 12, 13};

constexpr bool SizesAsListed() {
  for (std::size_t g = 0; g < kGroups; ++g)
    for (std::size_t bit = 0; bit < kFieldsPerGroup; ++bit)
      if ((kFields[g][bit].size != 0) != (bit < kKnownFields[g])) return false;
  return true;
}
static_assert(SizesAsListed(), "each group's known fields are its lowest bits");

bool HasPlace(const Field& field) { return field.pieces[0].store != Store::kNone; }

void Place(const Piece& piece, const std::uint8_t* from, std::uint8_t* record) {
  std::uint8_t* to = record + piece.offset;
  if (piece.store == Store::kCopy) {
    std::memcpy(to, from, std::size_t{piece.count} * piece.width);
    return;
  }
  for (std::size_t i = 0; i < piece.count; ++i) {
    const double widened = LittleEndian::F32(from + 4 * i);
    std::memcpy(to + sizeof(double) * i, &widened, sizeof widened);
  }
}

}  // namespace

std::size_t FieldSize(std::size_t group, std::size_t bit) {
  return group < kGroups && bit < kFieldsPerGroup ? kFields[group][bit].size : 0;
}

std::size_t TotalLength(const std::uint8_t* header) {
  const std::uint8_t groups = header[1];
  const std::uint8_t* mask = header + 2;
  std::size_t payload = 0;
  for (std::size_t g = 0; g < kGroups; ++g) {
    if (!(groups & (1u << g))) continue;
    const std::uint16_t fields = LittleEndian::U16(mask);
    mask += 2;
    for (std::size_t bit = 0; bit < kFieldsPerGroup; ++bit)
      if (fields & (1u << bit)) payload += kFields[g][bit].size;
  }
  return HeaderLength(groups) + payload + kCrcSize;
}

bool Decode(const std::uint8_t* packet, std::size_t length, Record& record) {
  record = Record{};
  if (length < 2 || packet[0] != kSync || !KnownGroups(packet[1])) return false;
  const std::size_t header = HeaderLength(packet[1]);
  if (length < header + kCrcSize || TotalLength(packet) != length) return false;

  auto* out = reinterpret_cast<std::uint8_t*>(&record);
  const std::uint8_t* mask = packet + 2;
  const std::uint8_t* field = packet + header;
  for (std::size_t g = 0; g < kGroups; ++g) {
    if (!(packet[1] & (1u << g))) continue;
    const std::uint16_t fields = LittleEndian::U16(mask);
    mask += 2;
    for (std::size_t bit = 0; bit < kFieldsPerGroup; ++bit) {
      if (!(fields & (1u << bit))) continue;
      const Field& layout = kFields[g][bit];
      if (layout.size == 0 || (!layout.passedOver && !HasPlace(layout))) return false;
      const std::uint8_t* from = field;
      for (const auto& piece : layout.pieces) {
        if (piece.store == Store::kNone) break;
        Place(piece, from, out);
        from += std::size_t{piece.count} * piece.width;
      }
      field += layout.size;
    }
  }
  return true;
}

}  // namespace Communication::Device::Vn::Binary
