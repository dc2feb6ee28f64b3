def generate_abstract(text: str, num_sentences: int = 3) -> tuple[list[str], str]: ...
def summarize(
    text: str,
    ratio: float = 0.2,
    word_count: int | None = None,
    split: bool = False,
    language: str = "portuguese",
) -> str | list[str]: ...
def keywords(
    text: str,
    ratio: float = 0.2,
    words: int | None = None,
    split: bool = False,
    scores: bool = False,
    lemmatize: bool = False,
    language: str = "portuguese",
) -> str | list[str] | list[tuple[str, float]]: ...
