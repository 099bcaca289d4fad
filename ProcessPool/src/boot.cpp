/*
 * boot.cpp - load-time work: the version check and the open-file limit.
 */
#include "host.h"

#include <sys/resource.h>
#include <string.h>

/* MakeMaker passes the distribution's version (VERSION_FROM) to every
 * compile as XS_VERSION: the module's .pm is the one place it is written. */
#ifndef XS_VERSION
#  error "XS_VERSION is not defined: build through Makefile.PL"
#endif

void boot_check_version(pTHX_ SV *module, SV *given)
{
    const char *pkg = SvPV_nolen_const(module);
    const char *vn = NULL;
    SV *sv = given;

    if (!sv) {
        vn = "XS_VERSION";
        sv = get_sv(Perl_form(aTHX_ "%s::%s", pkg, vn), 0);
        if (!sv || !SvOK(sv)) {
            vn = "VERSION";
            sv = get_sv(Perl_form(aTHX_ "%s::%s", pkg, vn), 0);
        }
        if (!sv)
            return;  /* neither variable exists: nothing to check */
    }

    /* A string comparison, byte for byte: "1.0" and "1.000" are refused. */
    STRLEN len = 0;
    const char *have = SvOK(sv) ? SvPV_const(sv, len) : NULL;
    if (have && len == sizeof XS_VERSION - 1 && memcmp(have, XS_VERSION, len) == 0)
        return;
    croak("%s object version %s does not match %s%s%s%s %" SVf,
          pkg, XS_VERSION,
          vn ? "$" : "", vn ? pkg : "", vn ? "::" : "",
          vn ? vn : "bootstrap parameter", SVfARG(sv));
}

void boot_raise_nofile_limit(void)
{
    struct rlimit64 rlim;
    if (getrlimit64(RLIMIT_NOFILE, &rlim) != 0)
        return;
    if (rlim.rlim_cur == RLIM64_INFINITY || rlim.rlim_cur >= rlim.rlim_max)
        return;
    rlim.rlim_cur = rlim.rlim_max;
    if (setrlimit64(RLIMIT_NOFILE, &rlim) != 0)
        Perl_warn_nocontext("Can't max the nofile limit");
}
