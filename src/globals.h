// The common header of the launcher's units.
#pragma once

#include "OS.h"
#include "String.h"
#include "Path.h"
#include "System.h"
#include "File.h"
