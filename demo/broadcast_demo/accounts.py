"""The demo's API keys and what each may read: what the stand-in authentication service knows
(``--demo-keys``) and what the scenario's clients connect with. It imports nothing of the demo."""

__all__ = ["ACCOUNTS"]

ACCOUNTS = {
    "key-ops-eu": ("ops-eu", {"read": ["Order", "Shipment"], "read_restricted": ["Order"]}),
    "key-finance": ("finance", {"read": ["Order"]}),
    "key-us-desk": ("us-desk", {"read": ["Order", "Shipment"]}),
    "key-courier": ("courier", {"read": ["Shipment"]}),
    "key-wallboard": ("wallboard", {"read": ["*"]}),
    "key-trainee": ("trainee", {}),  # known, but grants nothing
}
"""API key -> (account id, ACL content). The ACL content maps an action to document classes."""
