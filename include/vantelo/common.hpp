// Everything the extension modules share: the Python plumbing (python.hpp) and
// the risk model (risk.hpp). A module includes this one header.
#pragma once

#include "vantelo/python.hpp"
#include "vantelo/risk.hpp"
