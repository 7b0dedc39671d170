// The option classes and the command line parse, seen from a mode: what gets
// bound to it and what it reads back.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Modes.h"
#include "Parameters.h"
#include "ScratchDirectory.h"

namespace {

class ProbeOption : public OptionBase {
 public:
  using OptionBase::OptionBase;
};

TEST(OptionBase, ConstructionWithALetterChecksConsistency) {
  const struct {
    std::string name, optionName, description, shortName;
    bool consistent;
  } cases[] = {
      {"dump", "dump", "dump it", "d", true},
      {"dump", "dump", "dump it", "", true},
      {"", "dump", "dump it", "d", true},
      {"dump", "", "dump it", "d", false},
      {"dump", "dump", "", "d", false},
      {"dump", "dump", "dump it", "du", false},
  };
  for (const auto& c : cases) {
    const std::string what = c.optionName + "/" + c.description + "/" + c.shortName;
    try {
      ProbeOption option(c.name, c.optionName, c.description, c.shortName);
      EXPECT_TRUE(c.consistent) << what;
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(c.consistent) << what;
      EXPECT_STREQ(e.what(), "the command is not consistent");
    }
  }
  // Without a letter nothing is tested.
  EXPECT_NO_THROW(ProbeOption("", "", ""));
}

TEST(OptionBase, SpecAddsTheLetterAfterAComma) {
  EXPECT_EQ(ModeUpdateMagnetometerGain().getOptionSpec(), "update-magnetometer-gain,m");
  EXPECT_EQ(ModeSmartConfiguration().getOptionSpec(), "smart-configuration");
  EXPECT_EQ(ParameterOutputPath("out").getOptionSpec(), "output,o");
  EXPECT_EQ(ParameterForce().getOptionSpec(), "force");
}

TEST(ModeBase, GetParameterNamesTheModeByItsName) {
  ModeUpdateMagnetometerGain mode;  // name "set-magnetometer-gain"
  const auto expectFailure = [&](const std::function<void()>& read, const std::string& message) {
    try {
      read();
      ADD_FAILURE() << message << ": no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), message);
    }
  };
  expectFailure([&] { mode.getParameter<int>(ParameterNames::MagnetometerGain); },
                "parameter magnetometer-gain is not loaded in mode set-magnetometer-gain");

  auto gain = boost::make_shared<ParameterMagnetometerGain>();
  mode.addParameter(gain);
  expectFailure([&] { mode.getParameter<int>(ParameterNames::MagnetometerGain); },
                "can't call ParameterBaseWithValue::getValue before the value is set");
  expectFailure([&] { mode.getParameter<std::string>(ParameterNames::MagnetometerGain); },
                "parameter magnetometer-gain does not store the correct type for mode set-magnetometer-gain");
  gain->setValue(42);
  EXPECT_EQ(mode.getParameter<int>(ParameterNames::MagnetometerGain), 42);

  // A second object of the same name replaces the first.
  auto other = boost::make_shared<ParameterMagnetometerGain>();
  other->setValue(7);
  mode.addParameter(other);
  EXPECT_EQ(mode.getParameter<int>(ParameterNames::MagnetometerGain), 7);
}

// A mode with two required parameters, which no mode of the tool has.
class ModeNeedsTwo : public ModeBase {
 public:
  ModeNeedsTwo() : ModeBase("needs-two", "needs-two", "needs two paths") {
    declareParameter(ParameterNames::Input, ParameterRequirement::Required);
    declareParameter(ParameterNames::Force, ParameterRequirement::Optional);
    declareParameter(ParameterNames::Output, ParameterRequirement::Required);
  }
  void execute() override {}
};

class Parse : public ::testing::Test {
 protected:
  // Parses the words with the tool's own table; returns the selected modes.
  std::vector<boost::shared_ptr<ModeBase>> Run(std::vector<std::string> words) {
    words.insert(words.begin(), "QuenlithFlashMemoryTool");
    std::vector<const char*> argv;
    for (const auto& word : words) argv.push_back(word.c_str());
    commandLine.parse(static_cast<int>(argv.size()), argv.data());
    return commandLine.getSelectedModes();
  }

  std::string Failure(std::vector<std::string> words) {
    try {
      Run(std::move(words));
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no failure";
  }

  ScratchDirectory scratch;
  CommandLine commandLine;
};

TEST_F(Parse, BindsTheGivenParametersTheModeDeclares) {
  commandLine.registerOptions();
  const auto modes = Run({"--update-gyro-bias", "--gyro-vector", "1", "-2", "3", "--force", "--magnetometer-gain", "5"});
  ASSERT_EQ(modes.size(), 1u);
  const auto& mode = modes[0];
  EXPECT_EQ(mode->getOptionName(), "update-gyro-bias");
  EXPECT_EQ(mode->getParameter<std::vector<int>>(ParameterNames::GyroVector), (std::vector<int>{1, -2, 3}));
  // A switch is bound although it holds no value.
  EXPECT_TRUE(mode->hasParameter(ParameterNames::Force));
  EXPECT_THROW(mode->getParameter<int>(ParameterNames::Force), std::runtime_error);
  // Loaded and checked, but not the mode's to read.
  EXPECT_FALSE(mode->hasParameter(ParameterNames::MagnetometerGain));
}

TEST_F(Parse, OptionalParametersStayUnboundWhenNotGiven) {
  commandLine.registerOptions();
  const auto modes = Run({"-g", "--gyro-source=calibrated"});
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_EQ(modes[0]->getParameter<std::string>(ParameterNames::GyroSource), "calibrated");
  EXPECT_FALSE(modes[0]->hasParameter(ParameterNames::DryRun));
  EXPECT_FALSE(modes[0]->hasParameter(ParameterNames::Verbose));
}

TEST_F(Parse, MissingRequiredParametersAreNamedInDeclarationOrder) {
  commandLine.registerMode(ModeNeedsTwo());
  commandLine.registerParameter(ParameterInputPath("in"));
  commandLine.registerParameter(ParameterOutputPath("out"));
  commandLine.registerParameter(ParameterForce());
  EXPECT_EQ(Failure({"--needs-two", "--force"}), "you must define parameters input, output for mode needs-two");
  EXPECT_EQ(Failure({"--needs-two", "--input", "."}), "you must define parameter output for mode needs-two");
}

TEST_F(Parse, NumbersAreValuesNotOptions) {
  const struct {
    std::string token;
    bool number;
  } cases[] = {
      {"-2", true},  {"3", true},     {"-3.5e2", true}, {"+1", true},  {"inf", true},  {"nan", true},
      {"-", false},  {"1e", false},   {"1+", false},    {"-f", false}, {"", false},    {"--1", false},
      {"0x1", false}, {" 1", false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> tokens{c.token, "-f"};
    const auto options = CommandLine::numberTokenParser(tokens);
    EXPECT_EQ(options.size(), c.number ? 1u : 0u) << "'" << c.token << "'";
    EXPECT_EQ(tokens.size(), c.number ? 1u : 2u) << "'" << c.token << "'";
    if (c.number && !options.empty()) {
      EXPECT_EQ(options[0].string_key, "");
      EXPECT_EQ(options[0].value, std::vector<std::string>{c.token});
    }
  }
}

}  // namespace
