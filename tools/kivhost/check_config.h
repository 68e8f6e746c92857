// kivhost --check-config: the library reads its configuration files and says what is wrong.
#ifndef KIVHOST_CHECK_CONFIG_H
#define KIVHOST_CHECK_CONFIG_H

#include <string>

#include "qxkiv/config_check.h"

namespace kivhost {

// One problem as a line: "FILE: [SECTION] KEY = VALUE: using USED", with "start-up fails: "
// before the file for a problem the sensor cannot start with.
std::string problem_line(const kiv_config_problem &p);

// Loads the library at lib_path, runs its check and prints a line per problem on standard
// output, then a closing line on standard error. 0 no problem, 1 problems or no check.
int check_config(const std::string &lib_path);

}  // namespace kivhost

#endif
