#pragma once

#include <boost/property_tree/ptree.hpp>

namespace Communication::DataInterface {

// A byte transport shared by a device set and its device. Read delivers either
// every byte asked for or nothing after the transport's time-out, so callers can
// read a frame header and then its body without partial-read bookkeeping.
class CDataInterface {
 public:
  virtual ~CDataInterface() = default;
  virtual bool Open(const boost::property_tree::ptree& parameters) = 0;
  virtual void Close() = 0;
  virtual int Read(char* buffer, int length) = 0;
  virtual int Write(const char* buffer, int length) = 0;
  virtual void Purge() = 0;
};

}  // namespace Communication::DataInterface
