#include "CommandLine.h"

#include <stdexcept>

#include <boost/algorithm/string/join.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options/parsers.hpp>

#include "Modes.h"
#include "Parameters.h"

namespace po = boost::program_options;

CommandLine::CommandLine() : description("Options", 80, 40) {}

void CommandLine::registerOptions() {
  registerMode(ModeVersion(kFlashToolVersion));
  registerMode(ModeHelp(&description));
  registerMode(ModeFields());
  registerMode(ModeShowTemperatureCalibrationParameters());
  registerMode(ModeDump());
  registerMode(ModeBackup());
  registerMode(ModeRestore());
  registerMode(ModeCalibrateGyros());
  registerMode(ModeConfigureForHardwareGyroCalibration());
  registerMode(ModeUpdateMagnetometerGain());
  registerMode(ModeUpdateMagnetometerChannel());
  registerMode(ModeUpdateHardwareGyroCalibrationDisable());
  registerMode(ModeUpdateHardwareGyroCalibrationDuration());
  registerMode(ModeUpdateLayout());
  registerMode(ModeMinimizeInitializationDelays());
  registerMode(ModeSmartConfiguration());
  registerMode(ModeUpdateGyroBias());
  registerMode(ModeUpdateGyroCorrection());

  registerParameter(ParameterInputPath("set the input file"));
  registerParameter(ParameterOutputPath("set the output file"));
  registerParameter(ParameterForce());
  registerParameter(ParameterMagnetometerGain());
  registerParameter(ParameterMagnetometerChannel());
  registerParameter(ParameterHardwareGyroCalibrationDisable());
  registerParameter(ParameterHardwareGyroCalibrationDuration());
  registerParameter(ParameterGyroCalibrationSource());
  registerParameter(ParameterDryRun());
  registerParameter(ParameterVerbose());
  registerParameter(ParameterGyroVector());
}

std::vector<po::option> CommandLine::numberTokenParser(std::vector<std::string>& tokens) {
  std::vector<po::option> numbers;
  double ignored = 0.0;
  while (!tokens.empty() && boost::conversion::try_lexical_convert(tokens.front(), ignored)) {
    po::option number;
    number.position_key = static_cast<int>(numbers.size());
    number.value.push_back(tokens.front());
    number.original_tokens.push_back(tokens.front());
    numbers.push_back(std::move(number));
    tokens.erase(tokens.begin());
  }
  return numbers;
}

void CommandLine::parse(int argc, const char* const argv[]) {
  po::variables_map variables;
  // Unix style without guessing: abbreviated long names are refused.
  const int style = po::command_line_style::unix_style ^ po::command_line_style::allow_guessing;
  // Tokens that belong to no option (stray words or numbers) are parsed as
  // positional values, and with none declared they are dropped.
  po::store(po::command_line_parser(argc, argv)
                .options(description)
                .extra_style_parser(&CommandLine::numberTokenParser)
                .style(style)
                .run(),
            variables);
  checkExclusiveModes(variables);
  captureParameters(variables);
  selectModes(variables);
}

void CommandLine::checkExclusiveModes(const po::variables_map& variables) const {
  std::vector<std::string> given;
  for (const auto& mode : modes)
    if (mode->isMode() && variables.count(mode->getOptionName())) given.push_back(mode->getOptionName());
  if (given.size() < 2) return;
  throw std::runtime_error("the following options can't be used simultaneously: " +
                           boost::algorithm::join(given, ", "));
}

void CommandLine::captureParameters(const po::variables_map& variables) {
  for (const auto& parameter : parameters) {
    if (!variables.count(parameter->getOptionName())) continue;
    parameter->load(variables);
    parameter->validate();
    loadedParameters[parameter->getName()] = parameter;
  }
}

void CommandLine::selectModes(const po::variables_map& variables) {
  for (const auto& mode : modes) {
    if (!variables.count(mode->getOptionName())) continue;
    bindModeParameters(mode);
    selectedModes.push_back(mode);
  }
}

void CommandLine::bindModeParameters(const boost::shared_ptr<ModeBase>& mode) const {
  std::vector<std::string> missing;
  for (const auto& use : mode->getParameterUses()) {
    const auto loaded = loadedParameters.find(use.name);
    if (loaded != loadedParameters.end())
      mode->addParameter(loaded->second);
    else if (use.requirement == ParameterRequirement::Required)
      missing.push_back(use.name);
  }
  if (missing.empty()) return;
  throw std::runtime_error(std::string("you must define parameter") + (missing.size() > 1 ? "s" : "") + " " +
                           boost::algorithm::join(missing, ", ") + " for mode " + mode->getOptionName());
}

void parseCommandLine(int argc, const char* const argv[], CommandLine& commandLine) {
  commandLine.parse(argc, argv);
}

void runSelectedModes(CommandLine& commandLine) {
  for (const auto& mode : commandLine.getSelectedModes()) {
    const boost::shared_ptr<ModeBase> running = mode;
    running->execute();
  }
}
