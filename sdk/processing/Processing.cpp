#include "processing/Processing.h"

namespace Processing {

CProcessing::CProcessing(std::shared_ptr<Communication::Device::CDevice> device) : device_(std::move(device)) {}

CProcessing::~CProcessing() = default;

bool CProcessing::Configure(const boost::property_tree::ptree&, const int*) { return false; }

bool CProcessing::ExecuteCommand(const std::string&, void*, void*) { return false; }

bool CProcessing::Process(const void*, void*) { return false; }

}  // namespace Processing
