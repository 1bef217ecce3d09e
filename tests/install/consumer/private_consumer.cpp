// The consumer as C++, with <veska/private_api.h> from the veska::private_api target.
#define VESKA_CONSUMER_PRIVATE
#include "consumer.c"
