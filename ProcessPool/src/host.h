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

/* ppport.h (3.68) replaces the core's version comparisons with its own,
 * and only its _LT and _GE are right: _LE and _GT are wrong at the exact
 * version named (on 5.36.0, PERL_VERSION_LE(5, 36, 0) is false) and _EQ
 * with '*' does not compile.  These are the core's (5.33.1 on), from the
 * version numbers every perl defines; the checks below hold them to it. */
#define PROCPOOL_PERL_DEC_(j, n, p) ((j) * 1000000L + (n) * 1000L + (p))
#define PROCPOOL_PERL_DEC PROCPOOL_PERL_DEC_(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
#undef PERL_VERSION_EQ
#undef PERL_VERSION_NE
#undef PERL_VERSION_LT
#undef PERL_VERSION_GE
#undef PERL_VERSION_LE
#undef PERL_VERSION_GT
#define PERL_VERSION_EQ(j, n, p) ((p) == '*' ? (j) == PERL_REVISION && (n) == PERL_VERSION \
                                             : PROCPOOL_PERL_DEC == PROCPOOL_PERL_DEC_(j, n, p))
#define PERL_VERSION_NE(j, n, p) (!PERL_VERSION_EQ(j, n, p))
#define PERL_VERSION_LT(j, n, p) (PROCPOOL_PERL_DEC < PROCPOOL_PERL_DEC_(j, n, (p) == '*' ? 0 : (p)))
#define PERL_VERSION_GE(j, n, p) (!PERL_VERSION_LT(j, n, p))
#define PERL_VERSION_LE(j, n, p) ((p) == '*' ? PERL_VERSION_LT(j, (n) + 1, 0) \
                                             : PROCPOOL_PERL_DEC <= PROCPOOL_PERL_DEC_(j, n, p))
#define PERL_VERSION_GT(j, n, p) (!PERL_VERSION_LE(j, n, p))
static_assert(PERL_VERSION_EQ(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
              && PERL_VERSION_LE(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
              && PERL_VERSION_GE(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
              && !PERL_VERSION_LT(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
              && !PERL_VERSION_GT(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION)
              && PERL_VERSION_EQ(PERL_REVISION, PERL_VERSION, '*')
              && PERL_VERSION_LE(PERL_REVISION, PERL_VERSION, '*')
              && PERL_VERSION_GT(PERL_REVISION, PERL_VERSION - 1, '*')
              && PERL_VERSION_LT(PERL_REVISION, PERL_VERSION + 1, 0)
              && PERL_VERSION_GT(PERL_REVISION, PERL_VERSION, PERL_SUBVERSION - 1),
              "perl version comparisons");

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
