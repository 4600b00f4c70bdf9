#pragma once

namespace quippet {
int runApplication(int argc, char** argv);
}
