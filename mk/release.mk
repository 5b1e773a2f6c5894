# A release a maker can ship (scripts/release.py; README.md, "Release").
#   make release VENDOR_DIR=<folder> SUPPORT_NUMBER=0120-... TIMESTAMP_URL=http://... \
#                [SIGN_CERT=cert.pem SIGN_KEY=key.pem]
#   make release                      a test release: the substitutes, the placeholder number
#                                     and a throwaway certificate, marked not for shipping
# Builds in build/release-win32 (and build/release-win64 for the 64-bit substitutes) and
# writes build/release/: Quillmere.exe (signed), SHA256SUMS and the report.
VENDOR_DIR ?=
SUPPORT_NUMBER ?=
SIGN_CERT ?=
SIGN_KEY ?=
TIMESTAMP_URL ?=
.PHONY: release
release: bootstrap
	@python3 scripts/release.py --vendor-dir "$(VENDOR_DIR)" --support-number "$(SUPPORT_NUMBER)" \
	  --sign-cert "$(SIGN_CERT)" --sign-key "$(SIGN_KEY)" --timestamp-url "$(TIMESTAMP_URL)"
