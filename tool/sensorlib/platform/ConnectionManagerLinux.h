#pragma once

#include "ConnectionManager.h"

namespace Lumeth::Core::SensorLibrary {

// Finds USB serial adapters in sysfs ($QUENLITH_SYSFS_ROOT, else /sys): every
// tty ttyUSB<N> whose USB device carries a registered vendor and product id
// is COM port N.
class CConnectionManagerLinux : public CConnectionManagerImplementation {
 public:
  using CConnectionManagerImplementation::CConnectionManagerImplementation;
  bool enumerate() override;
};

}  // namespace Lumeth::Core::SensorLibrary
