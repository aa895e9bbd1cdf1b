// The engine host executable: everything lives in vel::Host.
#include "vel/host/host.h"

int main(int argc, char** argv) { return vel::Host::Run(argc, argv); }
