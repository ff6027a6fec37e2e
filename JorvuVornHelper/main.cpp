#include "JorvuVornHelper/HelperMain.hpp"

int main() { return runVornHelper(); }
