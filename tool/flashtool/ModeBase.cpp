#include "ModeBase.h"

#include <stdexcept>
#include <utility>

void ModeBase::addParameter(const boost::shared_ptr<ParameterBase>& parameter) {
  parameters[parameter->getName()] = parameter;
}

bool ModeBase::hasParameter(std::string name) const { return parameters.count(name) != 0; }

void ModeBase::declareParameter(std::string name, ParameterRequirement requirement) {
  parameterUses.push_back({std::move(name), requirement});
}

template <typename T>
T ModeBase::getParameter(std::string name) const {
  const auto found = parameters.find(name);
  if (found == parameters.end())
    throw std::runtime_error("parameter " + name + " is not loaded in mode " + getName());
  const auto* typed = dynamic_cast<const ParameterBaseWithValue<T>*>(found->second.get());
  if (!typed)
    throw std::runtime_error("parameter " + name + " does not store the correct type for mode " + getName());
  return typed->getValue();
}

template int ModeBase::getParameter<int>(std::string) const;
template std::string ModeBase::getParameter<std::string>(std::string) const;
template std::vector<int> ModeBase::getParameter<std::vector<int>>(std::string) const;
