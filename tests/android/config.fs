# A device's config.fs with an AID of its own for the daemon.
[AID_VENDOR_DROVIK]
value: 2901
