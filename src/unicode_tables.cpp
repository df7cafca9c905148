// Generated Unicode property tables (pending).
