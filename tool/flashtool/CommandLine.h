#pragma once

#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/program_options/options_description.hpp>
#include <boost/program_options/option.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>
#include <boost/shared_ptr.hpp>

#include "ModeBase.h"
#include "ParameterBase.h"

// The tool's version, printed by "version".
inline const std::string kFlashToolVersion = "0.25.10";

// The table of modes and parameters, and the parse that picks the mode to run
// and binds its parameters.
class CommandLine {
 public:
  CommandLine();

  void registerOptions();

  template <typename Mode>
  void registerMode(const Mode& prototype) {
    auto mode = boost::make_shared<Mode>(prototype);
    modes.push_back(mode);
    description.add_options()(mode->getOptionSpec().c_str(), mode->getDescription().c_str());
  }

  template <typename Parameter>
  void registerParameter(const Parameter& prototype) {
    auto parameter = boost::make_shared<Parameter>(prototype);
    parameters.push_back(parameter);
    using Value = typename Parameter::ValueType;
    const std::string spec = parameter->getOptionSpec();
    const std::string text = parameter->getDescription();
    if constexpr (std::is_same_v<Value, NoneParameterValue>) {
      description.add_options()(spec.c_str(), text.c_str());
    } else if constexpr (std::is_same_v<Value, std::vector<int>>) {
      description.add_options()(spec.c_str(), boost::program_options::value<Value>()->multitoken(), text.c_str());
    } else {
      description.add_options()(spec.c_str(), boost::program_options::value<Value>(), text.c_str());
    }
  }

  // Parses, loads and validates every given parameter, and selects the mode
  // with its parameters bound. Throws on the first failure.
  void parse(int argc, const char* const argv[]);

  const std::vector<boost::shared_ptr<ModeBase>>& getSelectedModes() const { return selectedModes; }
  const boost::program_options::options_description& getDescription() const { return description; }

  // Takes leading tokens that read as numbers as values, so that "-2" is never
  // taken for a short option.
  static std::vector<boost::program_options::option> numberTokenParser(std::vector<std::string>& tokens);

 private:
  void checkExclusiveModes(const boost::program_options::variables_map& variables) const;
  void captureParameters(const boost::program_options::variables_map& variables);
  void selectModes(const boost::program_options::variables_map& variables);
  void bindModeParameters(const boost::shared_ptr<ModeBase>& mode) const;

  std::vector<boost::shared_ptr<ModeBase>> modes;
  std::vector<boost::shared_ptr<ModeBase>> selectedModes;
  std::vector<boost::shared_ptr<ParameterBase>> parameters;
  std::map<std::string, boost::shared_ptr<ParameterBase>> loadedParameters;
  boost::program_options::options_description description;
};

void parseCommandLine(int argc, const char* const argv[], CommandLine& commandLine);
void runSelectedModes(CommandLine& commandLine);
