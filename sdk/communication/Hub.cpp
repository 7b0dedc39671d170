#include "communication/Hub.h"

#include "common/Log.h"

namespace Communication::Device {

namespace {
// The start a stream thread belongs to; 0 on every other thread.
thread_local unsigned t_streamGeneration = 0;
}  // namespace

CHub::CHub(std::string id, std::string vendor, std::shared_ptr<DataInterface::CDataInterface> transport)
    : CDevice(std::move(id), std::move(vendor)), transport_(std::move(transport)) {}

CHub::~CHub() {
  // A stream thread that is still running holds a reference to its hub, so the
  // only thread object that can be left here is one detached by a self-stop.
  if (stream_.joinable()) stream_.detach();
}

bool CHub::Open(const boost::property_tree::ptree& parameters) {
  return transport_ && transport_->Open(parameters);
}

void CHub::Close() {
  StopStream();
  if (transport_) transport_->Close();
}

void CHub::SetDataHandler(DataHandler handler) {
  auto replacement = handler.empty() ? nullptr : std::make_shared<const DataHandler>(std::move(handler));
  std::lock_guard<std::recursive_mutex> lock(handlerMutex_);
  handler_ = std::move(replacement);
}

bool CHub::HasDataHandler() const {
  std::lock_guard<std::recursive_mutex> lock(handlerMutex_);
  return handler_ != nullptr;
}

void CHub::DispatchFrame(void* frame) {
  std::lock_guard<std::recursive_mutex> lock(handlerMutex_);
  if (!handler_) return;
  const auto handler = handler_;
  (*handler)(frame);
}

bool CHub::StopRequested() const {
  return stop_.load(std::memory_order_acquire) || t_streamGeneration != generation_.load(std::memory_order_acquire);
}

bool CHub::IsStreaming() const {
  std::lock_guard<std::mutex> lock(streamMutex_);
  return stream_.joinable();
}

void CHub::StartStream() {
  // Held until the thread object is stored, so that a loop stopping itself at
  // once finds its own thread there.
  std::unique_lock<std::mutex> lock(streamMutex_);
  if (stream_.joinable()) {
    lock.unlock();
    QLOG(debug) << "stream already started";
    return;
  }
  const unsigned generation = generation_.fetch_add(1, std::memory_order_acq_rel) + 1;
  stop_.store(false, std::memory_order_release);
  // The thread holds its hub, so a hub released by its owner from inside a
  // callback lives until its loop has returned.
  auto self = std::static_pointer_cast<CHub>(shared_from_this());
  stream_ = boost::thread([hub = std::move(self), generation]() mutable {
    t_streamGeneration = generation;
    hub->Run();
    // A hub whose owner let go while its loop ran ends here, while this
    // thread can still log, rather than in the thread library's clean-up.
    hub.reset();
  });
  lock.unlock();
  QLOG(debug) << "stream started";
}

void CHub::StopStream() {
  boost::thread stream;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    if (stream_.joinable()) {
      stop_.store(true, std::memory_order_release);
      stream = std::move(stream_);
    }
  }
  if (!stream.joinable()) {
    QLOG(debug) << "stream already stopped";
    return;
  }
  // Joined outside the lock: the loop may be stopping itself meanwhile.
  if (stream.get_id() == boost::this_thread::get_id())
    stream.detach();
  else
    stream.join();
  QLOG(debug) << "stream stopped";
}

}  // namespace Communication::Device
