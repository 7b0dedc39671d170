#pragma once

#include <string>

// A command-line option of the tool: a mode (one per run) or a parameter that
// modes read.
class OptionBase {
 public:
  // No short name and no consistency test.
  OptionBase(std::string name, std::string optionName, std::string description);
  // Throws std::runtime_error unless the option name and the description are
  // set and the short name has at most one letter.
  OptionBase(std::string name, std::string optionName, std::string description, std::string shortName);
  virtual ~OptionBase() = default;

  virtual bool isMode() const { return false; }

  // The name that messages use and that keys parameters in maps.
  std::string getName() const { return name; }
  // The long name on the command line.
  std::string getOptionName() const { return optionName; }
  std::string getDescription() const { return description; }
  std::string getShortName() const { return shortName; }
  // The key for the option library: "name" or "name,letter".
  std::string getOptionSpec() const;

 protected:
  OptionBase(const OptionBase&) = default;
  OptionBase& operator=(const OptionBase&) = default;

 private:
  std::string name;
  std::string optionName;
  std::string description;
  std::string shortName;
};
