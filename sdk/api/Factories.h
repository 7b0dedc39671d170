#pragma once

#include <memory>
#include <optional>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "communication/Hub.h"
#include "communication/datainterface/DataInterface.h"
#include "processing/Processing.h"

class CQuenlith_SDK_Lite;

// The factories choose by words of the lowered "device" value, each row tested
// as a substring in table order. A row whose kind this build lacks makes no object.

std::shared_ptr<Communication::DataInterface::CDataInterface> CreateDataInterface(const std::string& words);

std::shared_ptr<Communication::Device::CHub> CreateDeviceByName(const std::string& words);

// Chooses the hub kind from the identity an unnamed hub reported (case-sensitive).
std::shared_ptr<Communication::Device::CHub> CreateDeviceById(const std::string& id);

// Asks an unnamed hub on the transport for its identity; closes the transport again.
std::optional<std::string> IdentifyHub(const std::shared_ptr<Communication::DataInterface::CDataInterface>& transport,
                                       const boost::property_tree::ptree& parameters);

std::shared_ptr<Processing::CProcessing> CreateProcessingManager(CQuenlith_SDK_Lite& set, const std::string& words,
                                                                 const std::shared_ptr<Communication::Device::CHub>& device);
