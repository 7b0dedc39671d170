#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <boost/program_options/variables_map.hpp>

#include "OptionBase.h"

class ParameterBase : public OptionBase {
 public:
  using OptionBase::OptionBase;

  // Takes the parameter's value from the parsed command line.
  virtual void load(const boost::program_options::variables_map& variables) = 0;
  // Throws when the loaded value is not acceptable.
  virtual void validate() = 0;
};

// The value of a switch: its presence is all it says.
struct NoneParameterValue {};

template <typename T>
class ParameterBaseWithValue : public ParameterBase {
 public:
  using ValueType = T;
  using ParameterBase::ParameterBase;

  void load(const boost::program_options::variables_map& variables) override {
    if constexpr (!std::is_same_v<T, NoneParameterValue>) {
      // A stored value of another type throws the library's bad-cast error.
      value = variables[getOptionName()].template as<T>();
      isSet = true;
    } else {
      (void)variables;
    }
  }

  void validate() override {}

  T getValue() const {
    if (!isSet) throw std::runtime_error("can't call ParameterBaseWithValue::getValue before the value is set");
    return value;
  }

  // For a parameter that a mode builds itself rather than from the command line.
  void setValue(T newValue) {
    value = std::move(newValue);
    isSet = true;
  }

 private:
  bool isSet = false;
  T value{};
};
