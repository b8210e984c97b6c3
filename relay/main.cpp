#include "relay/Entry.h"

int main(int argc, char** argv) { return veltor::RunVeltor(argc, argv); }
