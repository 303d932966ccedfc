// The JSON documents of the server: the same library and rules as the client's.
#pragma once

#include "protocol/json.h"
