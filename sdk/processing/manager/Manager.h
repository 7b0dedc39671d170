#pragma once

#include "processing/Processing.h"

namespace Processing::Manager {

// A device's processing manager: its device is the hub, its Process turns one
// raw device frame into one SdkFrame.
class CManager : public CProcessing {
 public:
  using CProcessing::CProcessing;
};

}  // namespace Processing::Manager
