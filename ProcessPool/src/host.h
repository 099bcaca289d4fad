/* host.h - the interpreter's headers, in the order every source needs. */
#ifndef PROCPOOL_HOST_H
#define PROCPOOL_HOST_H
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"
#include "procpool.h"

#define POOL_CLASS "Brindlecove::ProcessPool"
#endif
