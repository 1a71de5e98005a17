// cobaltmoth/cobaltmoth.hpp - everything a host needs: the tracer, the bug handler, the error
// type, the error-line number, late binding and the release's version.
#pragma once

#include <cobaltmoth/error.hpp>
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/late_binding.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <cobaltmoth/version.hpp>
