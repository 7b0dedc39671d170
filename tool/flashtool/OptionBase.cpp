#include "OptionBase.h"

#include <stdexcept>
#include <utility>

OptionBase::OptionBase(std::string name, std::string optionName, std::string description)
    : name(std::move(name)), optionName(std::move(optionName)), description(std::move(description)) {}

OptionBase::OptionBase(std::string name, std::string optionName, std::string description,
                       std::string shortName)
    : name(std::move(name)),
      optionName(std::move(optionName)),
      description(std::move(description)),
      shortName(std::move(shortName)) {
  if (this->optionName.empty() || this->shortName.size() >= 2 || this->description.empty())
    throw std::runtime_error("the command is not consistent");
}

std::string OptionBase::getOptionSpec() const {
  return shortName.empty() ? optionName : optionName + "," + shortName;
}
