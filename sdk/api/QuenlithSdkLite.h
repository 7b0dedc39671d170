#pragma once

#include <memory>
#include <mutex>

#include <boost/property_tree/ptree.hpp>

#include "api/quenlith_sdk_lite.h"
#include "communication/Hub.h"
#include "processing/Processing.h"
#include "processing/SdkFrame.h"

// One opened device set: a transport, the device that speaks over it, the
// device's processing manager, the output frame handed to the host and the
// host's receive callback.
class CQuenlith_SDK_Lite : public std::enable_shared_from_this<CQuenlith_SDK_Lite> {
 public:
  CQuenlith_SDK_Lite();
  ~CQuenlith_SDK_Lite();

  CQuenlith_SDK_Lite(const CQuenlith_SDK_Lite&) = delete;
  CQuenlith_SDK_Lite& operator=(const CQuenlith_SDK_Lite&) = delete;

  bool Open(const boost::property_tree::ptree& parameters);
  bool Stop();

  // The set's own parameter tree, which the processing factory may amend.
  boost::property_tree::ptree& GetParameters() { return parameters_; }
  const std::shared_ptr<Communication::Device::CHub>& GetDevice() const { return device_; }
  const std::shared_ptr<Processing::CProcessing>& GetProcessing() const { return processing_; }

  // Once this returns, the previous callback is not running any more, unless
  // this is called from inside it.
  void SetReceiveDataCallback(ReceiveDataCallback callback, void* user);

 private:
  bool ConfigureProcessing(Processing::CProcessing& processing);
  // Runs on the device's stream thread for every raw frame.
  void ReceiveDataHandler(Processing::CProcessing* processing, void* rawFrame);

  std::shared_ptr<Communication::Device::CHub> device_;
  boost::property_tree::ptree parameters_;
  std::shared_ptr<Processing::CProcessing> processing_;
  Processing::SdkFrame frame_{};

  std::recursive_mutex callbackMutex_;
  ReceiveDataCallback callback_ = nullptr;
  void* user_ = nullptr;
};
