#pragma once

#include "processing/model/DKv7.h"

namespace Processing::QN {

// DKv6: as DKv7.
class CDKv6 : public CDKv7 {
 public:
  using CDKv7::CDKv7;
};

}  // namespace Processing::QN
