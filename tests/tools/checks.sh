# Shared by the shell tests: a scratch folder, counters, and the check helpers.
# Source it after `set -uo pipefail`; end the script with `finish NAME`.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# report_check NAME OK EXPECTATION STATUS: counts the check, shows the output when it failed
report_check() {
    if [[ $2 -eq 1 ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1: expected $3, got status $4 with:"
        sed 's/^/    /' "$work/out"
    fi
}

check() { # check NAME COMMAND... : the command must succeed
    local name="$1"
    shift
    "$@" >"$work/out" 2>&1
    local status=$? ok=0
    [[ $status -eq 0 ]] && ok=1
    report_check "$name" $ok "success" $status
}

check_output() { # check_output NAME EXPECTED-STATUS EXPECTED-TEXT COMMAND...
    local name="$1" want="$2" expected="$3"
    shift 3
    "$@" >"$work/out" 2>&1
    local status=$? ok=0
    [[ $status -eq $want ]] && grep -qF -- "$expected" "$work/out" && ok=1
    report_check "$name" $ok "status $want saying '$expected'" $status
}

check_error() { # check_error NAME EXPECTED-TEXT COMMAND... : must fail, saying EXPECTED-TEXT
    local name="$1" expected="$2"
    shift 2
    "$@" >"$work/out" 2>&1
    local status=$? ok=0
    [[ $status -ne 0 ]] && grep -qF -- "$expected" "$work/out" && ok=1
    report_check "$name" $ok "failure saying '$expected'" $status
}

finish() { # finish NAME: the summary, and the script's status
    echo "$1: $passed passed, $failed failed"
    [[ $failed -eq 0 ]]
}
