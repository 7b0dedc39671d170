#include "api/QuenlithSdkLite.h"

#include <cstring>

#include "api/Factories.h"
#include "common/Configuration.h"
#include "common/Log.h"

CQuenlith_SDK_Lite::CQuenlith_SDK_Lite() = default;

CQuenlith_SDK_Lite::~CQuenlith_SDK_Lite() {
  try {
    Stop();
  } catch (const std::exception& e) {
    QLOG(error) << "closing device set failed: " << e.what();
  } catch (...) {
    QLOG(error) << "closing device set failed";
  }
}

bool CQuenlith_SDK_Lite::Open(const boost::property_tree::ptree& parameters) {
  parameters_ = parameters;
  if (device_) return false;

  Logging::SetLevel(parameters_.get<int>("debugOutputLevel", 5));
  const std::string words = Configuration::DeviceWords(parameters_);

  auto transport = CreateDataInterface(words);
  auto device = CreateDeviceByName(words);
  if (!device) {
    if (const auto id = IdentifyHub(transport, parameters_)) device = CreateDeviceById(*id);
    if (!device) {
      QLOG(error) << "coudn't find device by id";
      return false;
    }
  }
  device->SetTransport(transport);

  // Opening may start the stream thread, which keeps its hub alive: every way
  // out of here but success closes the device again.
  struct CloseUnlessKept {
    Communication::Device::CHub& device;
    bool keep = false;
    ~CloseUnlessKept() {
      if (keep) return;
      try {
        device.Close();
      } catch (...) {
      }
    }
  } guard{*device};

  if (!device->Open(parameters_)) {
    QLOG(error) << "coudn't open device";
    return false;
  }

  auto processing = CreateProcessingManager(*this, words, device);
  if (!processing) {
    QLOG(error) << "coudn't create processing";
    return false;
  }
  if (!ConfigureProcessing(*processing)) {
    QLOG(error) << "coudn't reset processing";
    return false;
  }

  // The handler owns the manager it feeds and reaches its set weakly: a host
  // that closes the set from inside its callback releases the set only when
  // the frame in hand has been handled.
  std::weak_ptr<CQuenlith_SDK_Lite> self = weak_from_this();
  device->SetDataHandler([self, processing](void* rawFrame) {
    if (const auto set = self.lock()) set->ReceiveDataHandler(processing.get(), rawFrame);
  });

  guard.keep = true;
  processing_ = std::move(processing);
  device_ = std::move(device);
  return true;
}

bool CQuenlith_SDK_Lite::ConfigureProcessing(Processing::CProcessing& processing) {
  // A stage may refuse its configuration by throwing (an unsupported filter
  // frequency, for one); that is a failed configuration like any other.
  try {
    return processing.Configure(parameters_, nullptr);
  } catch (const std::exception& e) {
    QLOG(error) << "processing configuration failed: " << e.what();
    return false;
  }
}

bool CQuenlith_SDK_Lite::Stop() {
  if (device_) {
    device_->SetDataHandler({});
    device_->Close();
  }
  device_.reset();
  processing_.reset();
  return true;
}

void CQuenlith_SDK_Lite::SetReceiveDataCallback(ReceiveDataCallback callback, void* user) {
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  callback_ = callback;
  user_ = user;
}

void CQuenlith_SDK_Lite::ReceiveDataHandler(Processing::CProcessing* processing, void* rawFrame) {
  std::memset(&frame_, 0, sizeof frame_);
  if (!processing->Process(rawFrame, &frame_)) return;
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  if (callback_) callback_(&frame_, user_);
}
