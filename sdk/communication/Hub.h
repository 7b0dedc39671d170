#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/function.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/thread.hpp>

#include "communication/Device.h"
#include "communication/datainterface/DataInterface.h"

namespace Communication::Device {

// Receives the address of one frame; the frame is valid only during the call.
using DataHandler = boost::function<void(void*)>;

// Base of every device a device set opens: owns the transport, the sensor list,
// the data handler and the stream thread that reads frames in the background.
class CHub : public CDevice {
 public:
  CHub(std::string id, std::string vendor, std::shared_ptr<DataInterface::CDataInterface> transport = {});
  // Does not stop a running stream; a running stream keeps its hub alive, and
  // the owner stops it through Close.
  ~CHub() override;

  // Body of the stream thread: loops until StopRequested(), at most about one
  // transport time-out per pass, handing every frame to DispatchFrame.
  virtual void Run() = 0;
  virtual bool Open(const boost::property_tree::ptree& parameters);
  virtual void Close();
  // Waits for a frame that is being handled on the stream thread, so that once
  // it returns the old handler is not running any more (unless it is the caller).
  virtual void SetDataHandler(DataHandler handler);
  virtual void StartStream();
  // Joins the stream thread; called from the stream thread itself it only asks
  // the loop to end.
  virtual void StopStream();
  virtual std::vector<std::shared_ptr<CSensor>>& GetSensors() { return sensors_; }

  void SetTransport(std::shared_ptr<DataInterface::CDataInterface> transport) { transport_ = std::move(transport); }
  const std::shared_ptr<DataInterface::CDataInterface>& GetTransport() const { return transport_; }
  bool IsStreaming() const;

 protected:
  // True once StopStream asked the calling stream thread to end; also for a
  // thread left over from a stop issued on itself after a new stream started.
  bool StopRequested() const;
  bool HasDataHandler() const;
  // Calls the data handler, if any, with one frame.
  void DispatchFrame(void* frame);

  std::vector<std::shared_ptr<CSensor>> sensors_;

 private:
  std::shared_ptr<DataInterface::CDataInterface> transport_;
  // Guards the thread object, which the stream thread itself touches when it
  // stops its own stream.
  mutable std::mutex streamMutex_;
  boost::thread stream_;
  std::atomic<bool> stop_{true};
  // Counts stream starts; each thread runs under the count of its own start.
  std::atomic<unsigned> generation_{0};
  // Held while a frame is dispatched. Recursive because a host may close its
  // device, and so replace this handler, from inside its own callback.
  mutable std::recursive_mutex handlerMutex_;
  // Shared so that a handler replaced from inside its own call stays alive
  // until that call returns.
  std::shared_ptr<const DataHandler> handler_;
};

}  // namespace Communication::Device
