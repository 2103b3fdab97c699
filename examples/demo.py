"""A short tour: word vectors, text vectors and their similarity."""

from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c

WORDS = ["ERROR42", "login", "passwd", "veritabani", "bread", "hello"]
TEXTS = [
    "ERROR: disk write failed, 2024",
    "Database connection failed: permission denied for user admin",
    "Disk hatası: güvenlik_log 2024 kaydı",
    "kullanici sifre yanlis, giris reddedildi",
    "sorgu tablo satir guncellendi",
]


def main() -> None:
    print("word vectors (x = faults, y = security, z = data)")
    for word in WORDS:
        x, y, z = get_semantic_vector_c(word)
        print(f"  {word:<12} {x:8.4f} {y:8.4f} {z:8.4f}")
    vectors = [vectorize_text_c(text) for text in TEXTS]
    print("\ntext vectors")
    for text, (x, y, z) in zip(TEXTS, vectors, strict=True):
        print(f"  {x:8.4f} {y:8.4f} {z:8.4f}  {text}")
    print("\nmost similar to the first text")
    query = vectors[0]
    ranked = sorted(zip(TEXTS[1:], vectors[1:], strict=True), key=lambda tv: -cosine_similarity_c(query, tv[1]))
    for text, vector in ranked:
        print(f"  {cosine_similarity_c(query, vector):8.4f}  {text}")


if __name__ == "__main__":
    main()
