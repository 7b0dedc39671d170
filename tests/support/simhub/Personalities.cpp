// The kinds of hub the simulator can play.

#include <stdexcept>

#include "simhub/BsMainHub.h"
#include "simhub/CuHub.h"
#include "simhub/DongleHub.h"
#include "simhub/StreamingHubs.h"
#include "simhub/Personality.h"
#include "simhub/StreamSensor.h"

namespace SimHub {

const std::vector<KindRow>& Kinds() {
  static const std::vector<KindRow> rows{
      {HubKind::BsMain, "bsmain", "BSmain simulated base station V2.03 Mar 14 2018", MakeBsMainHub},
      {HubKind::UsbCu, "usbcu", "USB_CU simulated hub V1.07 Jun 02 2018", MakeCuHub},
      {HubKind::Dongle, "dongle", "QN DKv6 simulated dongle sensor V3.01 Mar 12 2019", MakeDongleHub},
      {HubKind::Stream, "stream", "DKv7m2 simulated stream hub", MakeStreamHub},
      {HubKind::QnSdk, "sdk", "QNSDK simulated hub", MakeQnSdkHub},
      {HubKind::StreamSensor, "stream-sensor", "QN DKv6 simulated sensor Jun 12 2019", MakeStreamSensor},
  };
  return rows;
}

const KindRow& KindInfo(HubKind kind) {
  for (const KindRow& row : Kinds())
    if (row.kind == kind) return row;
  throw std::invalid_argument("hub kind without a personality");
}

std::string DefaultIdentity(HubKind kind) { return KindInfo(kind).defaultIdentity; }

HubKind KindByName(const std::string& name) {
  for (const KindRow& row : Kinds())
    if (name == row.name) return row.kind;
  throw std::invalid_argument("unknown hub kind: " + name);
}

}  // namespace SimHub
