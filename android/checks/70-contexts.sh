# shellcheck shell=bash disable=SC2154 # the variables are check.sh's
# file_contexts and property_contexts: syntax and declared types; drovik's own label exactly its executable and the properties the daemon uses, with types of its own, and nothing the platform labels
needs_policy contexts

check_contexts() {
    result_of contexts "file_contexts and property_contexts" \
        "$PYTHON" "$HERE/contexts.py" "$ROOT" "$aosp" "$conf" "$partition" "$rc" "${own_args[@]}" --device "$device" --domain "$DOMAIN"
}
