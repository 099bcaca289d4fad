/* host.h - the interpreter's headers, in the order every source needs.
 *
 * This is the one place that knows which perl the module is built on.
 * ppport.h (Devel::PPPort, generated and kept beside Makefile.PL) supplies
 * what it can for older perls, G_LIST among them; the fallbacks below
 * cover what it cannot (sv_setrv_noinc) and one fault of older perls' own
 * headers (items in BOOT).  The oldest perl the module is built and tested
 * on is 5.32: SV_CATBYTES/SV_CATUTF8 (5.22), SvREFCNT_dec_NN (5.18) and
 * XS_EXTERNAL (5.16) are all older than that, so they need no fallback.
 * Supporting a perl below 5.32 means adding theirs here and running the
 * suite on it.
 */
#ifndef PROCPOOL_HOST_H
#define PROCPOOL_HOST_H
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"
#include "ppport.h"

#if !PERL_VERSION_GE(5, 32, 0)
#  error "Brindlecove::ProcessPool needs perl 5.32 or later"
#endif

/* 5.35.4: make sv a reference to ref, taking over the reference count the
 * caller holds on ref.  The same effect through the long-standing API:
 * copy a temporary reference in (which counts one more) and drop the
 * temporary (which counts it back).  No set-magic, as the original. */
#if !PERL_VERSION_GE(5, 35, 4) && !defined(sv_setrv_noinc)
#  define sv_setrv_noinc(sv, ref) STMT_START {     \
        SV *const procpool_rv_ = newRV_noinc(ref); \
        sv_setsv_flags((sv), procpool_rv_, 0);     \
        SvREFCNT_dec_NN(procpool_rv_);             \
    } STMT_END
#endif

/* Before 5.34 the BOOT prologue set MARK one slot too high, so items in a
 * BOOT section counted one argument short: the version given to bootstrap
 * went unseen.  These are 5.34's definitions (the handshake returns the
 * same ax on both). */
#if !PERL_VERSION_GE(5, 34, 0)
#  undef dXSBOOTARGSXSAPIVERCHK
#  define dXSBOOTARGSXSAPIVERCHK \
        I32 ax = XS_BOTHVERSION_SETXSUBFN_POPMARK_BOOTCHECK; \
        SV **mark = PL_stack_base + ax - 1; dSP; dITEMS
#  undef dXSBOOTARGSAPIVERCHK
#  define dXSBOOTARGSAPIVERCHK \
        I32 ax = XS_APIVERSION_SETXSUBFN_POPMARK_BOOTCHECK; \
        SV **mark = PL_stack_base + ax - 1; dSP; dITEMS
#  undef dXSBOOTARGSNOVERCHK
#  define dXSBOOTARGSNOVERCHK \
        I32 ax = XS_SETXSUBFN_POPMARK; \
        SV **mark = PL_stack_base + ax - 1; dSP; dITEMS
#endif

#include "procpool.h"

#define POOL_CLASS "Brindlecove::ProcessPool"
#endif
