#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "OptionBase.h"
#include "ParameterBase.h"

enum class ParameterRequirement : std::int32_t { Required = 0, Optional = 1 };

struct ParameterUse {
  std::string name;
  ParameterRequirement requirement;
};

// A command of the tool. It declares the parameters it reads; the command line
// binds the given ones to it before it runs.
class ModeBase : public OptionBase {
 public:
  using OptionBase::OptionBase;

  bool isMode() const override { return true; }
  virtual void execute() = 0;

  const std::vector<ParameterUse>& getParameterUses() const { return parameterUses; }

  // Binds a parameter under its name, replacing one of the same name.
  void addParameter(const boost::shared_ptr<ParameterBase>& parameter);
  bool hasParameter(std::string name) const;
  // The value of a bound parameter; instances for int, std::string and
  // std::vector<int>.
  template <typename T>
  T getParameter(std::string name) const;

 protected:
  ModeBase(const ModeBase&) = default;
  ModeBase& operator=(const ModeBase&) = default;

  void declareParameter(std::string name, ParameterRequirement requirement);

 private:
  std::vector<ParameterUse> parameterUses;
  std::map<std::string, boost::shared_ptr<ParameterBase>> parameters;
};

extern template int ModeBase::getParameter<int>(std::string) const;
extern template std::string ModeBase::getParameter<std::string>(std::string) const;
extern template std::vector<int> ModeBase::getParameter<std::vector<int>>(std::string) const;
